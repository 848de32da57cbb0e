// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

namespace reelmaker {

namespace {
constexpr uint32_t DefaultKeyFrameEvery = 15;
constexpr uint32_t DefaultBytesPerSecond = 300 * 1024;
} // namespace

OptionsDialog::OptionsDialog(const CompressOptions& options, QWidget* owner)
    : QDialog(owner), start_(options), codecs_(AvailableCodecs()) {
    setWindowTitle(QStringLiteral("Video Compression"));
    const bool valid = (options.DwFlags & CompressValid) != 0;

    codec_ = new QComboBox(this);
    int current = 0;
    for (size_t i = 0; i < codecs_.size(); ++i) {
        QString label = QStringLiteral("%1 (%2)").arg(
            QString::fromLatin1(codecs_[i].Name),
            QString::fromStdString(FourCCText(codecs_[i].Fourcc)).trimmed());
        if (codecs_[i].FfmpegPlayersOnly)
            label += QLatin1Char(' ') + QString::fromLatin1(FfmpegPlayersOnlyMark);
        codec_->addItem(label);
        if (codecs_[i].Fourcc == options.FccHandler) current = static_cast<int>(i);
    }
    codec_->setCurrentIndex(current);

    quality_ = new QSlider(Qt::Horizontal, this);
    quality_->setRange(0, 100);
    const uint32_t quality = valid ? std::min<uint32_t>(options.DwQuality, 10000) : DefaultQuality;
    startSlider_ = static_cast<int>(quality / 100);
    quality_->setValue(startSlider_);
    qualityText_ = new QLabel(this);
    qualityText_->setMinimumWidth(40);
    auto showQuality = [this](int v) { qualityText_->setText(QStringLiteral("%1").arg(v)); };
    showQuality(startSlider_);
    connect(quality_, &QSlider::valueChanged, this, showQuality);

    keyFrameCheck_ = new QCheckBox(QStringLiteral("&Key frame every"), this);
    keyFrameCheck_->setChecked(!valid || (options.DwFlags & CompressKeyFrames));
    keyFrames_ = new QSpinBox(this);
    keyFrames_->setRange(1, 100000);
    keyFrames_->setSuffix(QStringLiteral(" frames"));
    keyFrames_->setValue(valid && options.DwKeyFrameEvery ? int(options.DwKeyFrameEvery)
                                                          : int(DefaultKeyFrameEvery));
    dataRateCheck_ = new QCheckBox(QStringLiteral("&Data rate"), this);
    dataRateCheck_->setChecked(valid && (options.DwFlags & CompressDataRate));
    dataRate_ = new QSpinBox(this);
    dataRate_->setRange(1, 1000000);
    dataRate_->setSuffix(QStringLiteral(" KB/sec"));
    dataRate_->setValue(
        int((valid && options.DwBytesPerSecond ? options.DwBytesPerSecond : DefaultBytesPerSecond) /
            1024));

    auto* qualityRow = new QHBoxLayout;
    qualityRow->addWidget(quality_);
    qualityRow->addWidget(qualityText_);
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(keyFrameCheck_);
    keyRow->addWidget(keyFrames_);
    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(dataRateCheck_);
    rateRow->addWidget(dataRate_);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Compressor:"), codec_);
    // A label shows its '&' as an underline only when it has a control to go to.
    auto* qualityLabel = new QLabel(QStringLiteral("Compression &Quality:"), this);
    qualityLabel->setBuddy(quality_);
    form->addRow(qualityLabel, qualityRow);
    form->addRow(keyRow);
    form->addRow(rateRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(buttons);

    connect(codec_, &QComboBox::currentIndexChanged, this, [this] { UpdateEnabled(); });
    connect(keyFrameCheck_, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
    connect(dataRateCheck_, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
    UpdateEnabled();
}

void OptionsDialog::UpdateEnabled() {
    const int i = codec_->currentIndex();
    const CodecInfo* c = i >= 0 && size_t(i) < codecs_.size() ? &codecs_[size_t(i)] : nullptr;
    const bool quality = c && c->Quality != QualityControl::None;
    quality_->setEnabled(quality);
    qualityText_->setEnabled(quality);
    keyFrameCheck_->setEnabled(c && c->KeyFrames);
    keyFrames_->setEnabled(c && c->KeyFrames && keyFrameCheck_->isChecked());
    dataRateCheck_->setEnabled(c && c->DataRate);
    dataRate_->setEnabled(c && c->DataRate && dataRateCheck_->isChecked());
}

CompressOptions OptionsDialog::Chosen() const {
    CompressOptions o;
    const int i = codec_->currentIndex();
    o.FccType = StreamTypeVideo;
    o.FccHandler =
        i >= 0 && size_t(i) < codecs_.size() ? codecs_[size_t(i)].Fourcc : FullFramesFourCC;
    const bool untouched = quality_->value() == startSlider_ && (start_.DwFlags & CompressValid) &&
                           start_.DwQuality <= 10000;
    o.DwQuality = untouched ? start_.DwQuality : static_cast<uint32_t>(quality_->value()) * 100;
    o.DwFlags = CompressValid;
    o.DwKeyFrameEvery = static_cast<uint32_t>(keyFrames_->value());
    if (keyFrameCheck_->isChecked()) o.DwFlags |= CompressKeyFrames;
    o.DwBytesPerSecond = static_cast<uint32_t>(dataRate_->value()) * 1024;
    if (dataRateCheck_->isChecked()) o.DwFlags |= CompressDataRate;
    return o;
}

bool RunOptionsDialog(QWidget* owner, CompressOptions& options) {
    OptionsDialog dialog(options, owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    options = dialog.Chosen();
    return true;
}

} // namespace reelmaker
