// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/sound_card.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>

#include <array>
#include <cstring>

namespace io {

namespace {

class SoundCardDriver : public WaveDriver {
  public:
    SoundCardDriver(const QAudioDevice& device, const QAudioFormat& format, WaveSink& sink)
        : source_(std::make_unique<QAudioSource>(device, format)), sink_(sink) {}

    ~SoundCardDriver() override {
        if (io_) source_->stop();
    }

    WaveResult Start() override {
        io_ = source_->start();
        if (!io_ || source_->error() != QAudio::NoError) {
            io_ = nullptr;
            source_->stop();
            return WaveNotEnabled;
        }
        QObject::connect(io_, &QIODevice::readyRead, &context_, [this] { Drain(); });
        // The sound system can go away under a running capture (server gone,
        // card unplugged): the source then stops with an error and deletes the
        // device it read from.  Read no more, and hand the cycle the buffer
        // being filled; queueing it again fails, which ends the capture with
        // its message.
        QObject::connect(source_.get(), &QAudioSource::stateChanged, &context_, [this] {
            if (failed_ || source_->error() == QAudio::NoError) return;
            io_ = nullptr;
            failed_ = true;
            sink_.FinishCurrent();
        });
        return WaveOk;
    }

    WaveResult Check(WaveOp op) override {
        const bool needsTheSource =
            op == WaveOp::Prepare || op == WaveOp::Queue || op == WaveOp::Start;
        return failed_ && needsTheSource ? WaveError : WaveOk;
    }

    WaveResult Stop() override {
        if (!io_) return WaveOk;
        Drain();
        QObject::disconnect(io_, nullptr, &context_, nullptr);
        source_->stop();
        io_ = nullptr;
        have_ = 0;
        return WaveOk;
    }

  private:
    // Moves everything the source holds into the queued buffers, whole samples only.
    void Drain() {
        while (io_) {
            const qint64 got =
                io_->read(bytes_.data() + have_, static_cast<qint64>(bytes_.size() - have_));
            if (got <= 0) break;
            have_ += static_cast<size_t>(got);
            const size_t samples = have_ / sizeof(int16_t);
            std::memcpy(samples_.data(), bytes_.data(), samples * sizeof(int16_t));
            sink_.Write(samples_.data(), samples);
            const size_t used = samples * sizeof(int16_t);
            std::memmove(bytes_.data(), bytes_.data() + used, have_ - used);
            have_ -= used;
        }
    }

    std::unique_ptr<QAudioSource> source_;
    WaveSink& sink_;
    QPointer<QIODevice> io_; // null once the source has deleted it
    QObject context_;        // receiver of the source's signals; disconnects on destruction
    std::array<char, 8192> bytes_{};
    std::array<int16_t, 4096> samples_{};
    size_t have_ = 0;
    bool failed_ = false; // the source stopped with an error while running
};

class QtMultimediaSystem : public SoundSystem {
  public:
    bool List(std::vector<QString>& names, std::vector<QByteArray>& ids) override {
        for (const QAudioDevice& device : QMediaDevices::audioInputs()) {
            names.push_back(device.description());
            ids.push_back(device.id());
        }
        return true;
    }

    std::unique_ptr<WaveDriver> Open(const QByteArray& id, int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override {
        QAudioDevice device;
        if (id.isEmpty()) {
            device = QMediaDevices::defaultAudioInput();
        } else {
            for (const QAudioDevice& candidate : QMediaDevices::audioInputs())
                if (candidate.id() == id) device = candidate;
        }
        if (device.isNull()) {
            result = WaveBadDeviceId;
            return nullptr;
        }
        QAudioFormat format;
        format.setSampleRate(sampleRate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) {
            result = WaveBadFormat;
            return nullptr;
        }
        result = WaveOk;
        return std::make_unique<SoundCardDriver>(device, format, sink);
    }

    QString Label() const override { return QStringLiteral("Qt Multimedia"); }
};

} // namespace

std::unique_ptr<SoundSystem> MakeQtMultimediaSystem() {
    return std::make_unique<QtMultimediaSystem>();
}

} // namespace io
