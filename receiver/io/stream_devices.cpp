// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/stream_devices.h"

#include "receiver/io/rate_converter.h"
#include "receiver/io/rtp_packets.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace io {

namespace {

constexpr int MinRate = 1000;
constexpr int MaxRate = 768000;
constexpr size_t PipeChunkBytes = 32768;
constexpr size_t PipeMinQueuedBuffers = 8; // room for one chunk, converted
constexpr int PipeRetryMs = 20;

bool ParseRate(const QString& text, int& rate) {
    bool ok = false;
    rate = text.toInt(&ok);
    return ok && rate >= MinRate && rate <= MaxRate;
}

void Tell(const StreamReports& reports, const std::string& line) {
    if (reports.Event) reports.Event(line);
}

} // namespace

bool ParseStreamInput(const QString& text, StreamInput& input, QString& error) {
    input = StreamInput{};
    const QString usage =
        QStringLiteral("--input is udp:[ADDR:]PORT[@RATE], rtp:[ADDR:]PORT[#SSRC][@RATE] or "
                       "stdin:RATE[:s16|f32], not '%1'");
    const bool rtp = text.startsWith(QLatin1String("rtp:"));
    if (text.startsWith(QLatin1String("udp:")) || rtp) {
        input.Kind = rtp ? StreamInput::Kind::Rtp : StreamInput::Kind::Udp;
        if (rtp) input.Rate = RtpL16Rate;
        QString rest = text.mid(4);
        const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
        if (at >= 0) {
            if (!ParseRate(rest.mid(at + 1), input.Rate)) {
                error = QStringLiteral("the rate of --input %1 must be %2 to %3 samples/s")
                            .arg(text)
                            .arg(MinRate)
                            .arg(MaxRate);
                return false;
            }
            rest.truncate(at);
            input.RateGiven = true;
        }
        const qsizetype hash = rest.lastIndexOf(QLatin1Char('#'));
        if (rtp && hash >= 0) {
            bool ok = false;
            const qulonglong ssrc = rest.mid(hash + 1).toULongLong(&ok, 0);
            if (!ok || ssrc > 0xffffffffULL) {
                error =
                    QStringLiteral("--input %1: the SSRC is a number up to 0xffffffff").arg(text);
                return false;
            }
            input.Ssrc = static_cast<uint32_t>(ssrc);
            rest.truncate(hash);
        }
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0) {
            QString address = rest.left(colon);
            if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
                address = address.mid(1, address.size() - 2);
            if (!input.Address.setAddress(address)) {
                error = QStringLiteral("--input %1: '%2' is no IP address").arg(text, address);
                return false;
            }
            rest = rest.mid(colon + 1);
        }
        bool ok = false;
        const int port = rest.toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            error = usage.arg(text);
            return false;
        }
        input.Port = static_cast<uint16_t>(port);
        return true;
    }
    if (text.startsWith(QLatin1String("stdin:"))) {
        input.Kind = StreamInput::Kind::Stdin;
        const QStringList parts = text.mid(6).split(QLatin1Char(':'));
        if (parts.size() > 2 || !ParseRate(parts[0], input.Rate)) {
            error = usage.arg(text);
            return false;
        }
        if (parts.size() == 2) {
            if (parts[1] == QLatin1String("s16")) {
                input.Encoding = SampleEncoding::S16;
            } else if (parts[1] == QLatin1String("f32")) {
                input.Encoding = SampleEncoding::F32;
            } else {
                error = QStringLiteral("the samples of --input %1 are s16 or f32").arg(text);
                return false;
            }
        }
        return true;
    }
    error = usage.arg(text);
    return false;
}

// ---- Standard input ---------------------------------------------------------------

struct PipeStreamDevice::Shared {
    int Fd = 0;
    int Rate = 48000;
    SampleEncoding Encoding = SampleEncoding::S16;
    StreamReports Reports;
    StreamCounts Counts;
    std::vector<char> Carry; // the bytes of a sample split between two reads
    bool NonBlocking = false;
    std::optional<int64_t> StartWallMs; // when the first sample was taken

    size_t SampleBytes() const { return Encoding == SampleEncoding::S16 ? 2 : 4; }
};

namespace {

class PipeDriver : public WaveDriver {
  public:
    PipeDriver(std::shared_ptr<PipeStreamDevice::Shared> shared, WaveSink& sink,
               std::unique_ptr<io::RateConverter> converter)
        : shared_(std::move(shared)), sink_(sink), converter_(std::move(converter)),
          notifier_(shared_->Fd, QSocketNotifier::Read) {
        notifier_.setEnabled(false);
        QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { Read(); });
        retry_.setSingleShot(true);
        retry_.setInterval(PipeRetryMs);
        QObject::connect(&retry_, &QTimer::timeout, &retry_, [this] { Read(); });
    }

    WaveResult Start() override {
        if (!timeSet_) {
            // The samples' own time: the start time given, else when the
            // input was first opened, plus what was read before this open.
            if (!shared_->StartWallMs) shared_->StartWallMs = QDateTime::currentMSecsSinceEpoch();
            sink_.SetTime(double(*shared_->StartWallMs) +
                          1000.0 * double(shared_->Counts.Samples) / shared_->Rate);
            timeSet_ = true;
        }
        started_ = true;
        if (!shared_->Counts.Ended) notifier_.setEnabled(true);
        return WaveOk;
    }

    WaveResult Stop() override {
        started_ = false;
        notifier_.setEnabled(false);
        retry_.stop();
        return WaveOk;
    }

  private:
    void Read() {
        if (!started_ || shared_->Counts.Ended) return;
        // The pipe waits (its writer blocks) while the buffers are all full.
        if (sink_.QueuedCount() < PipeMinQueuedBuffers) {
            notifier_.setEnabled(false);
            retry_.start();
            return;
        }
        notifier_.setEnabled(true);
        std::vector<char>& carry = shared_->Carry;
        bytes_.resize(PipeChunkBytes);
        std::copy(carry.begin(), carry.end(), bytes_.begin());
        const ssize_t got =
            ::read(shared_->Fd, bytes_.data() + carry.size(), bytes_.size() - carry.size());
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            End(std::string("reading standard input failed: ") + std::strerror(errno));
            return;
        }
        if (got == 0) {
            End("standard input ended");
            return;
        }
        const size_t have = carry.size() + static_cast<size_t>(got);
        const size_t width = shared_->SampleBytes();
        const size_t n = have / width;
        converted_.clear();
        if (shared_->Encoding == SampleEncoding::S16) {
            samples_.resize(n);
            for (size_t i = 0; i < n; ++i)
                samples_[i] = qFromLittleEndian<int16_t>(bytes_.data() + 2 * i);
            converter_->Convert(samples_.data(), n, converted_);
        } else {
            floats_.resize(n);
            for (size_t i = 0; i < n; ++i) {
                const uint32_t bits = qFromLittleEndian<uint32_t>(bytes_.data() + 4 * i);
                std::memcpy(&floats_[i], &bits, sizeof bits);
            }
            converter_->Convert(floats_.data(), n, converted_);
        }
        carry.assign(bytes_.begin() + static_cast<ptrdiff_t>(n * width),
                     bytes_.begin() + static_cast<ptrdiff_t>(have));
        shared_->Counts.Samples += static_cast<int64_t>(n);
        if (!converted_.empty()) sink_.Write(converted_.data(), converted_.size());
    }

    // As a replay at its end: the last, partly filled buffer comes back with what it
    // holds, and nothing more follows.
    void End(const std::string& why) {
        notifier_.setEnabled(false);
        retry_.stop();
        converted_.clear();
        converter_->Flush(converted_);
        if (!converted_.empty()) sink_.Write(converted_.data(), converted_.size());
        if (sink_.CurrentBytes() > 0) sink_.FinishCurrent();
        shared_->Counts.Ended = true;
        const double seconds = double(shared_->Counts.Samples) / shared_->Rate;
        char length[32];
        std::snprintf(length, sizeof length, "%.1f", seconds);
        Tell(shared_->Reports, why + " after " + length + " s of samples");
        if (shared_->Reports.Status)
            shared_->Reports.Status(QStringLiteral("Standard input ended after %1 s").arg(length));
        if (shared_->Reports.Ended) shared_->Reports.Ended();
        sink_.EndOfInput();
    }

    std::shared_ptr<PipeStreamDevice::Shared> shared_;
    WaveSink& sink_;
    std::unique_ptr<io::RateConverter> converter_;
    QSocketNotifier notifier_;
    QTimer retry_;
    bool started_ = false;
    bool timeSet_ = false;
    std::vector<char> bytes_;
    std::vector<int16_t> samples_;
    std::vector<float> floats_;
    std::vector<int16_t> converted_;
};

} // namespace

PipeStreamDevice::PipeStreamDevice(int fd, int inputRate, SampleEncoding encoding,
                                   StreamReports reports, std::optional<int64_t> startWallMs)
    : shared_(std::make_shared<Shared>()) {
    shared_->StartWallMs = startWallMs;
    shared_->Fd = fd;
    shared_->Rate = inputRate;
    shared_->Encoding = encoding;
    shared_->Reports = std::move(reports);
}

PipeStreamDevice::~PipeStreamDevice() = default;

QString PipeStreamDevice::Name() const {
    return QStringLiteral("Standard input (%1 samples/s, %2)")
        .arg(shared_->Rate)
        .arg(shared_->Encoding == SampleEncoding::S16 ? QStringLiteral("16-bit")
                                                      : QStringLiteral("32-bit float"));
}

const StreamCounts& PipeStreamDevice::Counts() const {
    return shared_->Counts;
}

std::unique_ptr<WaveDriver> PipeStreamDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                   WaveResult& result) {
    std::string error;
    auto converter = io::RateConverter::Create(shared_->Rate, sampleRate, error);
    if (!converter) {
        result = WaveBadFormat;
        return nullptr;
    }
    if (!shared_->NonBlocking) {
        const int flags = ::fcntl(shared_->Fd, F_GETFL);
        if (flags < 0 || ::fcntl(shared_->Fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            result = WaveNotEnabled;
            return nullptr;
        }
        shared_->NonBlocking = true;
    }
    result = WaveOk;
    return std::make_unique<PipeDriver>(shared_, sink, std::move(converter));
}

} // namespace io
