// SPDX-License-Identifier: GPL-3.0-or-later
// The UDP sample stream (see stream_devices.h).
#include "receiver/io/arrival_gaps.h"
#include "receiver/io/rate_converter.h"
#include "receiver/io/report_throttle.h"
#include "receiver/io/sample_joins.h"
#include "receiver/io/socket_open.h"
#include "receiver/io/stream_devices.h"

#include <QDateTime>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <QtEndian>

#include <cmath>
#include <deque>
#include <vector>

namespace io {

namespace {

constexpr int ReceiveBufferBytes = 1 << 20; // ~10 s at 48000 samples/s
constexpr int DecideEveryMs = 20;           // held datagrams are let go this often at least
constexpr int64_t StatusIntervalNs = 1'000'000'000;

std::string Milliseconds(int64_t samples, int rate) {
    return std::to_string(static_cast<long long>(std::llround(1000.0 * double(samples) / rate))) +
           " ms";
}

} // namespace

struct UdpStreamDevice::Shared {
    QHostAddress Address;
    uint16_t Port = 0;
    int Rate = UdpDefaultRate;
    StreamReports Reports;
    StreamCounts Counts;
    int64_t LastStatusNs = 0;
    ReportThrottle Throttle{[this](const std::string& line) {
        if (Reports.Event) Reports.Event(line);
    }};

    std::string Where() const {
        return "udp " + Address.toString().toStdString() + ":" + std::to_string(Port);
    }

    void Status(int64_t nowNs, bool now) {
        if (!Reports.Status || (!now && nowNs - LastStatusNs < StatusIntervalNs)) return;
        LastStatusNs = nowNs;
        QString text = QStringLiteral("%1 datagrams").arg(Counts.Datagrams);
        if (Counts.Gaps > 0)
            text += QStringLiteral(", %1 lost (%2 filled)")
                        .arg(Counts.Gaps)
                        .arg(QString::fromStdString(Milliseconds(Counts.LostSamples, Rate)));
        if (Counts.Late > 0) text += QStringLiteral(", %1 late").arg(Counts.Late);
        if (Counts.Bad > 0) text += QStringLiteral(", %1 bad").arg(Counts.Bad);
        if (Counts.Restarts > 0) text += QStringLiteral(", %1 restarts").arg(Counts.Restarts);
        Reports.Status(text);
    }

    // The first of each cause told at once, the others summed every 10 minutes.
    void TellLoss(int64_t samples) {
        const std::string where = Where();
        const int rate = Rate;
        Throttle.Note("loss",
                      where + ": " + std::to_string(samples) + " samples (" +
                          Milliseconds(samples, rate) + ") lost, filled with silence",
                      samples, [where, rate](int64_t count, int64_t filled) {
                          return where + ": " + std::to_string(count) + " losses, " +
                                 Milliseconds(filled, rate) + " filled";
                      });
    }
    void TellCount(const std::string& cause, const std::string& first, const std::string& many) {
        const std::string where = Where();
        Throttle.Note(cause, where + ": " + first, 1, [where, many](int64_t count, int64_t) {
            return where + ": " + std::to_string(count) + " " + many;
        });
    }
};

namespace {

class UdpDriver : public WaveDriver {
  public:
    UdpDriver(std::shared_ptr<UdpStreamDevice::Shared> shared, WaveSink& sink,
              std::unique_ptr<io::RateConverter> converter, int32_t outputRate)
        : shared_(std::move(shared)), sink_(sink), converter_(std::move(converter)),
          outputRate_(outputRate), finder_(shared_->Rate) {
        timer_.setInterval(DecideEveryMs);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Pass(SteadyNs()); });
    }

    ~UdpDriver() override { shared_->Throttle.Flush(); }

    bool Bind() {
        if (!socket_.bind(shared_->Address, shared_->Port)) {
            if (shared_->Reports.Event)
                shared_->Reports.Event("cannot listen on " + shared_->Where() + ": " +
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
        finder_ = ArrivalGapFinder(shared_->Rate);
        judge_ = JoinJudge();
        held_.clear();
        timeKept_ = false;
        started_ = true;
        timer_.start();
        shared_->Status(SteadyNs(), true);
        return WaveOk;
    }

    WaveResult Stop() override {
        started_ = false;
        timer_.stop();
        return WaveOk;
    }

  private:
    struct Held {
        std::vector<int16_t> Samples;
        int64_t ArrivalWallMs = 0;
    };

    void Read() {
        while (socket_.hasPendingDatagrams()) {
            const qint64 size = socket_.pendingDatagramSize();
            datagram_.resize(static_cast<size_t>(std::max<qint64>(size, 1)));
            const qint64 got = socket_.readDatagram(datagram_.data(), size);
            if (!started_ || got < 0) continue;
            const int64_t now = SteadyNs();
            if (got == 0 || got > MaxDatagramBytes || got % 2 != 0) {
                ++shared_->Counts.Bad;
                shared_->TellCount("bad",
                                   "a datagram dropped: odd length or more than " +
                                       std::to_string(MaxDatagramBytes) + " bytes",
                                   "bad datagrams dropped");
                continue;
            }
            Held held;
            held.ArrivalWallMs = QDateTime::currentMSecsSinceEpoch();
            const auto n = static_cast<size_t>(got) / 2;
            held.Samples.resize(n);
            for (size_t i = 0; i < n; ++i)
                held.Samples[i] = qFromLittleEndian<int16_t>(datagram_.data() + 2 * i);
            // The samples say whether the stream goes on unbroken from the
            // datagram before: where the times leave a loss's place open.
            const double join = judge_.Next(held.Samples.data(), n);
            held_.push_back(std::move(held));
            finder_.Arrive(now, static_cast<int64_t>(n), join);
        }
        if (started_) Pass(SteadyNs());
    }

    // Lets go of the datagrams held long enough, with the silence of any loss
    // in its place.
    void Pass(int64_t nowNs) {
        for (const DatagramVerdict& verdict : finder_.Decide(nowNs))
            Apply(verdict);
        shared_->Throttle.Poll();
        shared_->Status(nowNs, false);
    }

    void Apply(const DatagramVerdict& verdict) {
        Held held = std::move(held_.front());
        held_.pop_front();
        StreamCounts& counts = shared_->Counts;
        const int rate = shared_->Rate;
        if (verdict.Late) {
            ++counts.Late;
            shared_->TellCount("late", "a late datagram dropped, its time already filled",
                               "late datagrams dropped, their time already filled");
            return;
        }
        if (verdict.PauseBefore > 0) {
            ++counts.Pauses;
            shared_->TellCount("pause",
                               "no data for " + Milliseconds(verdict.PauseBefore, rate) +
                                   ", stream taken up again",
                               "pauses, the stream taken up again after each");
        }
        if (verdict.Ahead) {
            ++counts.Restarts;
            shared_->TellCount("restart",
                               "the sender jumped ahead (restarted), stream taken up again",
                               "restarts of the sender");
        }
        if (!timeKept_ || verdict.PauseBefore > 0 || verdict.Ahead) {
            // This datagram's first sample came its length before it arrived;
            // what the converter still holds goes out before it.
            const double backlog = double(fed_) * outputRate_ / rate - double(written_);
            sink_.SetTime(double(held.ArrivalWallMs) - 1000.0 * double(held.Samples.size()) / rate -
                          1000.0 * std::max(0.0, backlog) / outputRate_);
            timeKept_ = true;
        }
        if (verdict.SilenceBefore > 0) {
            ++counts.Gaps;
            counts.LostSamples += verdict.SilenceBefore;
            shared_->TellLoss(verdict.SilenceBefore);
            const double ratio = double(outputRate_) / rate;
            const auto from = std::llround(double(fed_) * ratio);
            const auto to = std::llround(double(fed_ + verdict.SilenceBefore) * ratio);
            sink_.MarkFill(static_cast<size_t>(std::max<int64_t>(from - written_, 0)),
                           static_cast<size_t>(to - from));
            silence_.assign(static_cast<size_t>(verdict.SilenceBefore), 0);
            Deliver(silence_);
            shared_->Status(SteadyNs(), true);
        }
        ++counts.Datagrams;
        counts.Samples += static_cast<int64_t>(held.Samples.size());
        Deliver(held.Samples);
    }

    void Deliver(const std::vector<int16_t>& samples) {
        converted_.clear();
        converter_->Convert(samples.data(), samples.size(), converted_);
        fed_ += static_cast<int64_t>(samples.size());
        written_ += static_cast<int64_t>(converted_.size());
        if (!converted_.empty()) sink_.Write(converted_.data(), converted_.size());
    }

    std::shared_ptr<UdpStreamDevice::Shared> shared_;
    WaveSink& sink_;
    std::unique_ptr<io::RateConverter> converter_;
    int32_t outputRate_;
    ArrivalGapFinder finder_;
    JoinJudge judge_;
    std::deque<Held> held_;
    QUdpSocket socket_;
    QTimer timer_;
    bool started_ = false;
    bool timeKept_ = false; // the sink has the stream's time
    int64_t fed_ = 0;       // samples into the converter
    int64_t written_ = 0;   // samples out of it, to the sink
    std::vector<char> datagram_;
    std::vector<int16_t> silence_;
    std::vector<int16_t> converted_;
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
    return OpenSocketDriver<UdpDriver>(shared_, sampleRate, sink, result);
}

} // namespace io
