// SPDX-License-Identifier: GPL-3.0-or-later
// Devices of the wave-input layer fed by other programs instead of a sound card:
//   - UDP: 16-bit little-endian mono datagrams, as SDR receiver programs stream
//     their audio (48000 samples/s unless told otherwise);
//   - a pipe on standard input: raw 16-bit or 32-bit float mono samples, as sox or
//     a command-line SDR receiver writes them.
// Both are converted to the rate the device is opened at with libsoxr and paced by
// the arrival of their data on the main thread (no timer).
//
// UDP datagrams carry no sequence numbers, so losses are found from the arrival
// times (ArrivalGapFinder): every datagram is held for two seconds, and the
// silence of a loss goes exactly where the data was lost, before any later sample
// reaches the receiver; the buffers say which samples are such fill
// (WaveBuffer::FillSamples). A datagram that comes after its time was filled is
// dropped; a pause of more than 10 s is not filled: the stream starts again from
// there. Odd-length and oversized datagrams are dropped. Every loss, late and bad
// datagram, pause and restart of the sender is counted, for the status line; the
// first of each is told at once, the rest summed every 10 minutes.
//
// Times: UDP samples are dated from the arrival of the stream's first datagram
// (taken up afresh after a pause or a restart) plus samples/rate; a pipe from its
// start time (--start-time, else when it was opened) plus samples/rate.
#pragma once

#include "receiver/io/arrival_gaps.h"
#include "receiver/io/recording.h"
#include "receiver/io/wave_input.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace io {

// Where a stream device tells what happens to it.
struct StreamReports {
    std::function<void(const std::string&)> Event; // one line per event (stderr, a log)
    std::function<void(const QString&)> Status;    // the stream's counts (the status line)
    std::function<void()> Ended;                   // the input has ended for good
};

enum class SampleEncoding { S16, F32 };

// --input udp:[ADDR:]PORT[@RATE] or stdin:RATE[:s16|f32].
// rtp:[ADDR:]PORT[#SSRC][@RATE]: RTP L16 on a unicast address or a multicast
// group (joined); without @RATE payload types 10 and 11 at 44100 samples/s.
struct StreamInput {
    enum class Kind { None, Udp, Stdin, Rtp };
    Kind Kind = Kind::None;
    QHostAddress Address = QHostAddress(QHostAddress::LocalHost);
    uint16_t Port = 0;
    int Rate = 48000;
    bool RateGiven = false;
    std::optional<uint32_t> Ssrc; // RTP: only this stream
    SampleEncoding Encoding = SampleEncoding::S16;
};
// False with a one-line reason when `text` is no such input.
bool ParseStreamInput(const QString& text, StreamInput& input, QString& error);

inline constexpr int UdpDefaultRate = 48000;
inline constexpr int MaxDatagramBytes = 32768; // 341 ms at 48000 samples/s

// What a stream device has counted since it was made (over all its opens).
struct StreamCounts {
    int64_t Datagrams = 0;   // accepted
    int64_t Samples = 0;     // accepted, at the input rate
    int64_t Gaps = 0;        // losses filled with silence
    int64_t LostSamples = 0; // silence filled in, at the input rate
    int64_t Late = 0;        // datagrams dropped as late
    int64_t Bad = 0;         // datagrams dropped as odd-length or oversized
    int64_t Pauses = 0;      // pauses too long to fill
    int64_t Restarts = 0;    // the sender jumped ahead (restarted): time taken up again
    int64_t Duplicates = 0;  // RTP packets that came twice
    bool Ended = false;      // the input has ended (standard input)
};

class UdpStreamDevice : public WaveDevice {
  public:
    UdpStreamDevice(QHostAddress address, uint16_t port, int inputRate, StreamReports reports);
    ~UdpStreamDevice() override;
    QString Name() const override;
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;
    const StreamCounts& Counts() const;
    const StreamCounts* NetworkCounts() const override { return &Counts(); }

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

class RtpStreamDevice : public WaveDevice {
  public:
    // `rate`: that of a dynamic payload type (0: only types 10 and 11, 44100);
    // of a stereo stream `channel` is taken.
    RtpStreamDevice(QHostAddress address, uint16_t port, std::optional<uint32_t> ssrc, int rate,
                    ChannelChoice channel, StreamReports reports);
    ~RtpStreamDevice() override;
    QString Name() const override;
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;
    const StreamCounts& Counts() const;
    const StreamCounts* NetworkCounts() const override { return &Counts(); }

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

class PipeStreamDevice : public WaveDevice {
  public:
    // Reads raw samples from the file descriptor `fd` (0: standard input); the
    // first sample was taken at `startWallMs` (ms since the epoch; none: when
    // the device is opened).
    PipeStreamDevice(int fd, int inputRate, SampleEncoding encoding, StreamReports reports,
                     std::optional<int64_t> startWallMs = std::nullopt);
    ~PipeStreamDevice() override;
    QString Name() const override;
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;
    const StreamCounts& Counts() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

} // namespace io
