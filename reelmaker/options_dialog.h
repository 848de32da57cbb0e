// SPDX-License-Identifier: GPL-3.0-or-later
// Our compression-options dialog: codec, quality, key-frame interval, data rate.
#pragma once

#include "reelmaker/codecs.h"

#include <QDialog>

#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QSpinBox;

namespace reelmaker {

class OptionsDialog : public QDialog {
    Q_OBJECT
  public:
    explicit OptionsDialog(const CompressOptions& options, QWidget* owner = nullptr);
    // The record as the dialog's controls say; a quality left untouched keeps its fraction.
    CompressOptions Chosen() const;

    QComboBox* CodecBox() const { return codec_; }
    QSlider* QualitySlider() const { return quality_; }
    QCheckBox* KeyFrameCheck() const { return keyFrameCheck_; }
    QSpinBox* KeyFrameBox() const { return keyFrames_; }
    QCheckBox* DataRateCheck() const { return dataRateCheck_; }
    QSpinBox* DataRateBox() const { return dataRate_; }

  private:
    void UpdateEnabled();

    CompressOptions start_;
    std::vector<CodecInfo> codecs_;
    QComboBox* codec_ = nullptr;
    QSlider* quality_ = nullptr;
    QLabel* qualityText_ = nullptr;
    QCheckBox* keyFrameCheck_ = nullptr;
    QSpinBox* keyFrames_ = nullptr;
    QCheckBox* dataRateCheck_ = nullptr;
    QSpinBox* dataRate_ = nullptr;
    int startSlider_ = 0;
};

// Shows the dialog; OK fills the record, Cancel leaves it as it was. Returns OK.
bool RunOptionsDialog(QWidget* owner, CompressOptions& options);

} // namespace reelmaker
