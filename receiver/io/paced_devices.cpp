// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/paced_devices.h"

#include "s4285gen/s4285gen.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace io {

namespace {

// Samples are topped up this often; a buffer of 1024 samples lasts 107 ms or more.
constexpr int TickMs = 20;
constexpr size_t ChunkSamples = 4096;

// Produces up to n samples into out; fewer means the source has ended.
using Producer = std::function<size_t(int16_t* out, size_t n)>;

class PacedDriver : public WaveDriver {
  public:
    // `dated`: the samples are dated from `startWallMs` (none: when first
    // started) plus their count, as a recording's are.
    PacedDriver(int32_t sampleRate, WaveSink& sink, Producer produce, bool dated = false,
                std::optional<int64_t> startWallMs = std::nullopt)
        : sampleRate_(sampleRate), sink_(sink), produce_(std::move(produce)), dated_(dated),
          startWallMs_(startWallMs) {
        timer_.setInterval(TickMs);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
    }

    WaveResult Start() override {
        if (ended_) return WaveOk;
        if (dated_) {
            if (!startWallMs_) startWallMs_ = QDateTime::currentMSecsSinceEpoch();
            sink_.SetTime(double(*startWallMs_) + 1000.0 * double(produced_) / sampleRate_);
        }
        clock_.start();
        delivered_ = 0;
        timer_.start();
        return WaveOk;
    }

    WaveResult Stop() override {
        if (timer_.isActive()) Tick();
        timer_.stop();
        return WaveOk;
    }

  private:
    void Tick() {
        const int64_t due = clock_.nsecsElapsed() * sampleRate_ / 1000000000;
        while (delivered_ < due && !ended_) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(due - delivered_, ChunkSamples));
            const size_t got = produce_(chunk_.data(), n);
            sink_.Write(chunk_.data(), got);
            delivered_ += static_cast<int64_t>(n);
            produced_ += static_cast<int64_t>(got);
            if (got < n) {
                ended_ = true;
                timer_.stop();
                sink_.EndOfInput();
            }
        }
    }

    int32_t sampleRate_;
    WaveSink& sink_;
    Producer produce_;
    QTimer timer_;
    QElapsedTimer clock_;
    int64_t delivered_ = 0;
    int64_t produced_ = 0; // since the open
    bool ended_ = false;
    bool dated_;
    std::optional<int64_t> startWallMs_;
    std::vector<int16_t> chunk_ = std::vector<int16_t>(ChunkSamples);
};

} // namespace

QString TestSignalDevice::Name() const {
    return QStringLiteral("Built-in STANAG 4285 test signal");
}

std::unique_ptr<WaveDriver> TestSignalDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                   WaveResult& result) {
    s4285gen::Config config = s4285gen::LiveDemoConfig(sampleRate);
    config.Seed = seed_;
    if (!s4285gen::CheckConfig(config).empty()) {
        result = WaveBadFormat;
        return nullptr;
    }
    auto generator = std::make_shared<s4285gen::Generator>(config);
    result = WaveOk;
    return std::make_unique<PacedDriver>(sampleRate, sink, [generator](int16_t* out, size_t n) {
        generator->Generate(out, n);
        return n;
    });
}

QString RecordingDevice::Name() const {
    return QStringLiteral("Recording %1").arg(QFileInfo(path_).fileName());
}

std::unique_ptr<WaveDriver> RecordingDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                  WaveResult& result) {
    std::string error;
    std::shared_ptr<io::RecordingReader> reader = io::RecordingReader::Open(
        QFile::encodeName(path_).toStdString(), sampleRate, channel_, error);
    if (!reader) {
        result = WaveNotEnabled;
        return nullptr;
    }
    result = WaveOk;
    return std::make_unique<PacedDriver>(
        sampleRate, sink,
        [reader](int16_t* out, size_t n) -> size_t {
            const int64_t got = reader->Read(out, static_cast<int64_t>(n));
            return got > 0 ? static_cast<size_t>(got) : 0;
        },
        true, startWallMs_);
}

} // namespace io
