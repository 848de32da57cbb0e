// SPDX-License-Identifier: GPL-3.0-or-later
// The RTP sample stream (see stream_devices.h and rtp_packets.h).
#include "receiver/io/rate_converter.h"
#include "receiver/io/report_throttle.h"
#include "receiver/io/rtp_packets.h"
#include "receiver/io/socket_open.h"
#include "receiver/io/stream_devices.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace io {

namespace {

constexpr int ReceiveBufferBytes = 1 << 20;
constexpr int DueEveryMs = 20;
constexpr int64_t StatusIntervalNs = 1'000'000'000;
// Without #SSRC, another stream is taken up once the one taken has sent
// nothing for this long (its sender restarted with a new SSRC).
constexpr int64_t SwitchAfterNs = 1'000'000'000;

std::string Milliseconds(int64_t samples, int rate) {
    return std::to_string(static_cast<long long>(std::llround(1000.0 * double(samples) / rate))) +
           " ms";
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

struct RtpStreamDevice::Shared {
    QHostAddress Address;
    uint16_t Port = 0;
    std::optional<uint32_t> Ssrc;
    int Rate = RtpL16Rate;
    bool RateGiven = false;
    ChannelChoice Channel = ChannelChoice::Left;
    StreamReports Reports;
    StreamCounts Counts;
    int64_t LastStatusNs = 0;
    std::set<uint32_t> Others; // streams told of and ignored
    ReportThrottle Throttle{[this](const std::string& line) {
        if (Reports.Event) Reports.Event(line);
    }};

    std::string Where() const {
        return "rtp " + Address.toString().toStdString() + ":" + std::to_string(Port);
    }
    void Tell(const std::string& cause, const std::string& first, const std::string& many,
              int64_t amount = 1) {
        const std::string where = Where();
        const int rate = Rate;
        const bool filled = cause == "loss";
        Throttle.Note(cause, where + ": " + first, amount,
                      [where, many, rate, filled](int64_t count, int64_t sum) {
                          return where + ": " + std::to_string(count) + " " + many +
                                 (filled ? ", " + Milliseconds(sum, rate) + " filled" : "");
                      });
    }
    void Status(int64_t nowNs, bool now) {
        if (!Reports.Status || (!now && nowNs - LastStatusNs < StatusIntervalNs)) return;
        LastStatusNs = nowNs;
        QString text = QStringLiteral("%1 packets").arg(Counts.Datagrams);
        if (Counts.Gaps > 0)
            text += QStringLiteral(", %1 lost (%2 filled)")
                        .arg(Counts.Gaps)
                        .arg(QString::fromStdString(Milliseconds(Counts.LostSamples, Rate)));
        if (Counts.Late > 0) text += QStringLiteral(", %1 late").arg(Counts.Late);
        if (Counts.Duplicates > 0) text += QStringLiteral(", %1 twice").arg(Counts.Duplicates);
        if (Counts.Bad > 0) text += QStringLiteral(", %1 bad").arg(Counts.Bad);
        if (Counts.Restarts > 0) text += QStringLiteral(", %1 restarts").arg(Counts.Restarts);
        Reports.Status(text);
    }
};

namespace {

class RtpDriver : public WaveDriver {
  public:
    RtpDriver(std::shared_ptr<RtpStreamDevice::Shared> shared, WaveSink& sink,
              std::unique_ptr<io::RateConverter> converter, int32_t outputRate)
        : shared_(std::move(shared)), sink_(sink), converter_(std::move(converter)),
          outputRate_(outputRate) {
        timer_.setInterval(DueEveryMs);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Due(); });
    }
    ~RtpDriver() override { shared_->Throttle.Flush(); }

    bool Bind() {
        const QHostAddress& address = shared_->Address;
        bool bound = false;
        if (address.isMulticast()) {
            const QHostAddress any(address.protocol() == QAbstractSocket::IPv6Protocol
                                       ? QHostAddress::AnyIPv6
                                       : QHostAddress::AnyIPv4);
            bound = socket_.bind(any, shared_->Port,
                                 QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint) &&
                    socket_.joinMulticastGroup(address);
        } else {
            bound = socket_.bind(address, shared_->Port);
        }
        if (!bound) {
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
        started_ = false;
        Read(); // what waited while stopped is old
        reorder_.reset();
        current_.reset();
        switched_ = false;
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
    void Read() {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            if (!started_) continue;
            const QByteArray bytes = datagram.data();
            Take(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
        }
        shared_->Status(SteadyNs(), false);
    }

    void Bad(const std::string& why) {
        ++shared_->Counts.Bad;
        shared_->Tell("bad", "a packet dropped: " + why, "bad packets dropped");
    }

    void Take(const uint8_t* data, size_t size) {
        const std::optional<RtpPacket> packet = ParseRtp(data, size);
        if (!packet) return Bad("not RTP");
        const int64_t nowNs = SteadyNs();
        if (!shared_->Ssrc && current_ && packet->Ssrc != *current_ &&
            nowNs - lastTakenNs_ >= SwitchAfterNs) {
            // The stream taken has stopped and another one comes: a sender
            // restarted with a new SSRC. What the old one left goes first.
            if (reorder_) {
                std::vector<RtpRelease> out;
                reorder_->Due(std::numeric_limits<int64_t>::max(), out);
                Apply(out);
            }
            reorder_.reset();
            current_ = packet->Ssrc;
            shared_->Others.erase(packet->Ssrc);
            switched_ = true;
        }
        if (shared_->Ssrc ? packet->Ssrc != *shared_->Ssrc
                          : current_ && packet->Ssrc != *current_) {
            if (shared_->Others.insert(packet->Ssrc).second && shared_->Reports.Event)
                shared_->Reports.Event(shared_->Where() + ": another stream, SSRC " +
                                       Hex(packet->Ssrc) + ", is ignored (#SSRC chooses)");
            return;
        }
        int channels = 1;
        if (packet->PayloadType == RtpStereoType) {
            channels = 2;
        } else if (packet->PayloadType != RtpMonoType) {
            if (packet->PayloadType < 96)
                return Bad("payload type " + std::to_string(packet->PayloadType) + " is not L16");
            if (!shared_->RateGiven)
                return Bad("dynamic payload type " + std::to_string(packet->PayloadType) +
                           " needs the rate (@RATE)");
        }
        if (packet->PayloadBytes % size_t(2 * channels) != 0) return Bad("odd length");
        if (!reorder_ || channels != channels_) {
            channels_ = channels;
            reorder_ =
                std::make_unique<RtpReorder>(channels, int64_t(MaxFillSeconds) * shared_->Rate);
        }
        if (!current_) {
            current_ = packet->Ssrc;
            firstWallMs_ = QDateTime::currentMSecsSinceEpoch();
        }
        ++shared_->Counts.Datagrams;
        lastTakenNs_ = nowNs;
        std::vector<RtpRelease> out;
        reorder_->Add(*packet, nowNs, out);
        if (switched_ && !out.empty()) {
            out.front().Restart = true;
            switched_ = false;
        }
        Apply(out);
    }

    void Due() {
        if (!reorder_) return;
        std::vector<RtpRelease> out;
        reorder_->Due(SteadyNs(), out);
        Apply(out);
        shared_->Throttle.Poll();
    }

    void Apply(std::vector<RtpRelease>& out) {
        StreamCounts& counts = shared_->Counts;
        counts.Late = reorder_->Late();
        counts.Duplicates = reorder_->Duplicates();
        const int rate = shared_->Rate;
        for (RtpRelease& release : out) {
            const size_t frames = release.Samples.size() / size_t(channels_);
            if (release.Restart) {
                ++counts.Restarts;
                shared_->Tell("restart", "the sender started afresh, stream taken up again",
                              "restarts of the sender");
            }
            if (!timeKept_ || release.Restart) {
                // Dated by the timestamps from the first packet's arrival.
                const double wallMs =
                    timeKept_ ? double(QDateTime::currentMSecsSinceEpoch()) : double(firstWallMs_);
                const double backlog = double(fed_) * outputRate_ / rate - double(written_);
                sink_.SetTime(wallMs - 1000.0 * double(frames) / rate -
                              1000.0 * std::max(0.0, backlog) / outputRate_);
                timeKept_ = true;
            }
            if (release.SilenceBefore > 0 && !release.Restart) {
                ++counts.Gaps;
                counts.LostSamples += release.SilenceBefore;
                shared_->Tell("loss",
                              std::to_string(release.SilenceBefore) + " samples (" +
                                  Milliseconds(release.SilenceBefore, rate) +
                                  ") lost, filled with silence",
                              "losses", release.SilenceBefore);
                const double ratio = double(outputRate_) / rate;
                const auto from = std::llround(double(fed_) * ratio);
                const auto to = std::llround(double(fed_ + release.SilenceBefore) * ratio);
                sink_.MarkFill(size_t(std::max<int64_t>(from - written_, 0)), size_t(to - from));
                mono_.assign(size_t(release.SilenceBefore), 0);
                Deliver();
            }
            mono_.resize(frames);
            for (size_t i = 0; i < frames; ++i) {
                const int16_t* frame = release.Samples.data() + i * size_t(channels_);
                if (channels_ == 1 || shared_->Channel == ChannelChoice::Left)
                    mono_[i] = frame[0];
                else if (shared_->Channel == ChannelChoice::Right)
                    mono_[i] = frame[1];
                else
                    mono_[i] = static_cast<int16_t>((int32_t(frame[0]) + frame[1]) / 2);
            }
            counts.Samples += int64_t(frames);
            Deliver();
        }
    }

    void Deliver() {
        converted_.clear();
        converter_->Convert(mono_.data(), mono_.size(), converted_);
        fed_ += int64_t(mono_.size());
        written_ += int64_t(converted_.size());
        if (!converted_.empty()) sink_.Write(converted_.data(), converted_.size());
    }

    std::shared_ptr<RtpStreamDevice::Shared> shared_;
    WaveSink& sink_;
    std::unique_ptr<io::RateConverter> converter_;
    int32_t outputRate_;
    QUdpSocket socket_;
    QTimer timer_;
    std::unique_ptr<RtpReorder> reorder_;
    int channels_ = 1;
    std::optional<uint32_t> current_; // the stream taken
    int64_t lastTakenNs_ = 0;         // when its last packet came
    bool switched_ = false;           // another stream taken up after it stopped
    int64_t firstWallMs_ = 0;
    bool started_ = false;
    bool timeKept_ = false;
    int64_t fed_ = 0;
    int64_t written_ = 0;
    std::vector<int16_t> mono_;
    std::vector<int16_t> converted_;
};

} // namespace

RtpStreamDevice::RtpStreamDevice(QHostAddress address, uint16_t port, std::optional<uint32_t> ssrc,
                                 int rate, ChannelChoice channel, StreamReports reports)
    : shared_(std::make_shared<Shared>()) {
    shared_->Address = std::move(address);
    shared_->Port = port;
    shared_->Ssrc = ssrc;
    shared_->RateGiven = rate > 0;
    shared_->Rate = rate > 0 ? rate : RtpL16Rate;
    shared_->Channel = channel;
    shared_->Reports = std::move(reports);
}

RtpStreamDevice::~RtpStreamDevice() = default;

QString RtpStreamDevice::Name() const {
    return QStringLiteral("RTP %1:%2 (%3 samples/s)")
        .arg(shared_->Address.toString())
        .arg(shared_->Port)
        .arg(shared_->Rate);
}

const StreamCounts& RtpStreamDevice::Counts() const {
    return shared_->Counts;
}

std::unique_ptr<WaveDriver> RtpStreamDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                  WaveResult& result) {
    return OpenSocketDriver<RtpDriver>(shared_, sampleRate, sink, result);
}

} // namespace io
