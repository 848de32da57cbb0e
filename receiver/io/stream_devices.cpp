// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/stream_devices.h"

#include "receiver/io/rate_converter.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace io {

namespace {

constexpr int MinRate = 1000;
constexpr int MaxRate = 768000;
constexpr int64_t WindowNs = 1'000'000'000;
constexpr int64_t LateCreditNs = 3'000'000'000;
constexpr double FollowSeconds = 30.0; // how fast the reference follows a slow sender
constexpr int64_t ReportIntervalNs = 1'000'000'000;
constexpr int ReceiveBufferBytes = 1 << 20; // ~10 s at 48000 samples/s
constexpr size_t PipeChunkBytes = 32768;
constexpr size_t PipeMinQueuedBuffers = 8; // room for one chunk, converted
constexpr int PipeRetryMs = 20;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Milliseconds(int64_t samples, int rate) {
    return std::to_string(static_cast<long long>(std::llround(1000.0 * samples / rate))) + " ms";
}

bool ParseRate(const QString& text, int& rate) {
    bool ok = false;
    rate = text.toInt(&ok);
    return ok && rate >= MinRate && rate <= MaxRate;
}

// Loss detection on arrival times against the nominal rate (see the header).
class ArrivalClock {
  public:
    explicit ArrivalClock(int rate) : rate_(rate) {}

    struct Verdict {
        bool Accept = true;
        int64_t Silence = 0;     // samples of silence to put before the datagram
        int64_t PauseLength = 0; // a pause too long to fill, in samples
    };

    Verdict Arrive(int64_t nowNs, int64_t n) {
        Verdict verdict;
        const double threshold = std::max(0.5 * double(n), 0.003 * rate_);
        if (anchored_ && n != size_) sameSize_ = false;
        size_ = n;
        if (!anchored_) {
            anchored_ = true;
            startNs_ = nowNs;
            dueBase_ = double(n); // the first datagram is on time by definition
            windowStartNs_ = nowNs;
        } else if (nowNs - windowStartNs_ >= WindowNs) {
            CloseWindow(nowNs, threshold, verdict);
        }
        const double lead = double(received_ + n) - Due(nowNs);
        if (lead > reference_ + threshold && lateCredit_ > 0 && nowNs < lateCreditUntilNs_) {
            lateCredit_ -= n;
            verdict.Accept = false;
            return verdict;
        }
        received_ += n;
        reference_ = std::max(reference_, lead);
        windowMax_ = std::max(windowMax_, lead);
        return verdict;
    }

  private:
    double Due(int64_t nowNs) const { return dueBase_ + double(nowNs - startNs_) * rate_ / 1e9; }

    void CloseWindow(int64_t nowNs, double threshold, Verdict& verdict) {
        const double deficit = reference_ - windowMax_;
        if (deficit >= threshold) {
            // Senders that keep to one datagram size lose whole datagrams.
            const auto samples = sameSize_ ? std::llround(deficit / double(size_)) * size_
                                           : static_cast<int64_t>(std::llround(deficit));
            if (samples > int64_t{MaxFillSeconds} * rate_) {
                // The sender stopped for a while: take up its stream from here.
                dueBase_ -= deficit;
                verdict.PauseLength = samples;
            } else {
                received_ += samples;
                verdict.Silence = samples;
                lateCredit_ = samples;
                lateCreditUntilNs_ = nowNs + LateCreditNs;
            }
        } else if (deficit > 0) {
            const double elapsed = double(nowNs - windowStartNs_) / 1e9;
            reference_ -= deficit * std::min(1.0, elapsed / FollowSeconds);
        }
        windowMax_ = -std::numeric_limits<double>::infinity();
        windowStartNs_ = nowNs;
    }

    int rate_;
    bool anchored_ = false;
    int64_t size_ = 0;     // samples in the last datagram
    bool sameSize_ = true; // every datagram so far had that many
    int64_t startNs_ = 0;
    double dueBase_ = 0;
    int64_t received_ = 0;
    double reference_ = 0;
    double windowMax_ = 0;
    int64_t windowStartNs_ = 0;
    int64_t lateCredit_ = 0;
    int64_t lateCreditUntilNs_ = 0;
};

void Tell(const StreamReports& reports, const std::string& line) {
    if (reports.Event) reports.Event(line);
}

} // namespace

bool ParseStreamSpec(const QString& text, StreamSpec& input, QString& error) {
    input = StreamSpec{};
    const QString usage = QStringLiteral(
        "--input is udp:PORT[@RATE], udp:ADDR:PORT[@RATE] or stdin:RATE[:s16|f32], not '%1'");
    if (text.startsWith(QLatin1String("udp:"))) {
        input.Kind = StreamSpec::Kind::Udp;
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
        input.Kind = StreamSpec::Kind::Stdin;
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

// ---- UDP ------------------------------------------------------------------------

struct UdpStreamDevice::Shared {
    QHostAddress Address;
    uint16_t Port = 0;
    int Rate = UdpDefaultRate;
    StreamReports Reports;
    StreamCounts Counts;
    int64_t LastStatusNs = 0;
    int64_t LastLateNs = 0;
    int64_t LastBadNs = 0;
    int64_t LateUntold = 0;
    int64_t BadUntold = 0;

    std::string Where() const {
        return "udp " + Address.toString().toStdString() + ":" + std::to_string(Port);
    }

    void Status(int64_t nowNs, bool now) {
        if (!Reports.Status || (!now && nowNs - LastStatusNs < ReportIntervalNs)) return;
        LastStatusNs = nowNs;
        QString text = QStringLiteral("%1 datagrams").arg(Counts.Datagrams);
        if (Counts.Gaps > 0)
            text += QStringLiteral(", %1 lost (%2 filled)")
                        .arg(Counts.Gaps)
                        .arg(QString::fromStdString(Milliseconds(Counts.LostSamples, Rate)));
        if (Counts.Late > 0) text += QStringLiteral(", %1 late").arg(Counts.Late);
        if (Counts.Bad > 0) text += QStringLiteral(", %1 bad").arg(Counts.Bad);
        Reports.Status(text);
    }

    // Late and bad datagrams are told at most once a second, with the count since.
    void TellDropped(int64_t nowNs) {
        if (LateUntold > 0 && nowNs - LastLateNs >= ReportIntervalNs) {
            Tell(Reports, Where() + ": " + std::to_string(LateUntold) +
                              " late datagram(s) dropped, their time already filled (" +
                              std::to_string(Counts.Late) + " so far)");
            LateUntold = 0;
            LastLateNs = nowNs;
        }
        if (BadUntold > 0 && nowNs - LastBadNs >= ReportIntervalNs) {
            Tell(Reports, Where() + ": " + std::to_string(BadUntold) +
                              " datagram(s) dropped: odd length or more than " +
                              std::to_string(MaxDatagramBytes) + " bytes (" +
                              std::to_string(Counts.Bad) + " so far)");
            BadUntold = 0;
            LastBadNs = nowNs;
        }
    }
};

namespace {

class UdpDriver : public WaveDriver {
  public:
    UdpDriver(std::shared_ptr<UdpStreamDevice::Shared> shared, WaveSink& sink,
              std::unique_ptr<io::RateConverter> converter, int32_t outputRate)
        : shared_(std::move(shared)), sink_(sink), converter_(std::move(converter)),
          clock_(shared_->Rate), outputRate_(outputRate) {}

    bool Bind() {
        if (!socket_.bind(shared_->Address, shared_->Port)) {
            Tell(shared_->Reports, "cannot listen on " + shared_->Where() + ": " +
                                       socket_.errorString().toStdString());
            return false;
        }
        socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(ReceiveBufferBytes));
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] { Read(); });
        return true;
    }

    WaveResult Start() override {
        // Whatever waited while stopped is old: the stream is taken up afresh.
        started_ = false;
        Read();
        clock_ = ArrivalClock(shared_->Rate);
        started_ = true;
        shared_->Status(NowNs(), true);
        return WaveOk;
    }

    WaveResult Stop() override {
        started_ = false;
        return WaveOk;
    }

  private:
    void Read() {
        while (socket_.hasPendingDatagrams()) {
            const qint64 size = socket_.pendingDatagramSize();
            datagram_.resize(static_cast<size_t>(std::max<qint64>(size, 1)));
            const qint64 got = socket_.readDatagram(datagram_.data(), size);
            if (!started_ || got < 0) continue;
            const int64_t now = NowNs();
            StreamCounts& counts = shared_->Counts;
            if (got == 0 || got > MaxDatagramBytes || got % 2 != 0) {
                ++counts.Bad;
                ++shared_->BadUntold;
            } else {
                Take(now, static_cast<size_t>(got) / 2);
            }
            shared_->TellDropped(now);
            shared_->Status(now, false);
        }
    }

    void Take(int64_t now, size_t n) {
        StreamCounts& counts = shared_->Counts;
        const ArrivalClock::Verdict verdict = clock_.Arrive(now, static_cast<int64_t>(n));
        const int rate = shared_->Rate;
        if (verdict.PauseLength > 0) {
            ++counts.Pauses;
            Tell(shared_->Reports, shared_->Where() + ": no data for " +
                                       Milliseconds(verdict.PauseLength, rate) +
                                       ", stream taken up again");
        }
        if (verdict.Silence > 0) {
            ++counts.Gaps;
            counts.LostSamples += verdict.Silence;
            Tell(shared_->Reports, shared_->Where() + ": " + std::to_string(verdict.Silence) +
                                       " samples (" + Milliseconds(verdict.Silence, rate) +
                                       ") lost, filled with silence (" +
                                       std::to_string(counts.Gaps) + " losses, " +
                                       Milliseconds(counts.LostSamples, rate) + " so far)");
            samples_.assign(static_cast<size_t>(verdict.Silence), 0);
            // The converter may hold the silence back a little: at least
            // its length at the output rate from where the output stood.
            const int64_t at = delivered_;
            Deliver();
            const int64_t length = (verdict.Silence * outputRate_ + rate - 1) / rate;
            if (shared_->Reports.Filled)
                shared_->Reports.Filled(at, std::max(delivered_ - at, length));
            shared_->Status(now, true);
        }
        if (!verdict.Accept) {
            ++counts.Late;
            ++shared_->LateUntold;
            return;
        }
        ++counts.Datagrams;
        counts.Samples += static_cast<int64_t>(n);
        samples_.resize(n);
        for (size_t i = 0; i < n; ++i)
            samples_[i] = qFromLittleEndian<int16_t>(datagram_.data() + 2 * i);
        Deliver();
    }

    void Deliver() {
        converted_.clear();
        converter_->Convert(samples_.data(), samples_.size(), converted_);
        if (!converted_.empty()) sink_.Write(converted_.data(), converted_.size());
        delivered_ += static_cast<int64_t>(converted_.size());
    }

    std::shared_ptr<UdpStreamDevice::Shared> shared_;
    WaveSink& sink_;
    std::unique_ptr<io::RateConverter> converter_;
    ArrivalClock clock_;
    QUdpSocket socket_;
    bool started_ = false;
    std::vector<char> datagram_;
    std::vector<int16_t> samples_;
    std::vector<int16_t> converted_;
    int32_t outputRate_;
    int64_t delivered_ = 0; // samples handed to the sink since the open
};

} // namespace

UdpStreamDevice::UdpStreamDevice(QHostAddress address, uint16_t port, int inputRate,
                                 StreamReports reports)
    : shared_(std::make_shared<Shared>()) {
    shared_->Address = std::move(address);
    shared_->Port = port;
    shared_->Rate = inputRate;
    shared_->Reports = std::move(reports);
}

UdpStreamDevice::~UdpStreamDevice() = default;

QString UdpStreamDevice::Name() const {
    return QStringLiteral("UDP %1:%2 (%3 samples/s)")
        .arg(shared_->Address.toString())
        .arg(shared_->Port)
        .arg(shared_->Rate);
}

const StreamCounts& UdpStreamDevice::Counts() const {
    return shared_->Counts;
}

std::unique_ptr<WaveDriver> UdpStreamDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                  WaveResult& result) {
    std::string error;
    auto converter = io::RateConverter::Create(shared_->Rate, sampleRate, error);
    if (!converter) {
        result = WaveBadFormat;
        return nullptr;
    }
    auto driver = std::make_unique<UdpDriver>(shared_, sink, std::move(converter), sampleRate);
    if (!driver->Bind()) {
        result = WaveAllocated;
        return nullptr;
    }
    result = WaveOk;
    return driver;
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
    std::vector<char> bytes_;
    std::vector<int16_t> samples_;
    std::vector<float> floats_;
    std::vector<int16_t> converted_;
};

} // namespace

PipeStreamDevice::PipeStreamDevice(int fd, int inputRate, SampleEncoding encoding,
                                   StreamReports reports)
    : shared_(std::make_shared<Shared>()) {
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
