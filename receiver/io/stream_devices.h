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
// times against the nominal rate: the stream's lead (samples received minus samples
// due by the monotonic clock since the first datagram) is followed; jitter only ever
// lowers it for a while, a lost datagram lowers it for good. At most once a second
// the highest lead of the last second is compared with the reference (the highest
// seen, slowly following a sender whose clock runs slow): a deficit of half a
// datagram or more (3 ms at least) is a loss, filled with that much silence so that
// time stays true (rounded to whole datagrams while the sender keeps to one size). Data arriving
// further ahead than the reference after such a fill is the lost data coming late: it is dropped,
// its time already filled. A pause of more than 10 s is not filled: the stream starts again from
// there. Odd-length and oversized datagrams are dropped. Every loss, late datagram and bad datagram
// is counted, for the status line, and told as one line (at most one a second each).
#pragma once

#include "receiver/io/wave_input.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace io {

// Where a stream device tells what happens to it.
struct StreamReports {
    std::function<void(const std::string&)> Event; // one line per event (stderr, a log)
    std::function<void(const QString&)> Status;    // the stream's counts (the status line)
    std::function<void()> Ended;                   // the input has ended for good
    // A loss filled with `samples` of silence, starting `atSample` samples into
    // what the device delivered since it was opened (both at the rate it was
    // opened at): the receiver marks the blocks that hold it.
    std::function<void(int64_t atSample, int64_t samples)> Filled;
};

enum class SampleEncoding { S16, F32 };

// --input udp:[ADDR:]PORT[@RATE] or stdin:RATE[:s16|f32].
struct StreamSpec {
    enum class Kind { None, Udp, Stdin };
    Kind Kind = Kind::None;
    QHostAddress Address = QHostAddress(QHostAddress::LocalHost);
    uint16_t Port = 0;
    int Rate = 48000;
    SampleEncoding Encoding = SampleEncoding::S16;
};
// False with a one-line reason when `text` is no such input.
bool ParseStreamSpec(const QString& text, StreamSpec& input, QString& error);

inline constexpr int UdpDefaultRate = 48000;
inline constexpr int MaxDatagramBytes = 32768; // 341 ms at 48000 samples/s
inline constexpr int MaxFillSeconds = 10;

// What a stream device has counted since it was made (over all its opens).
struct StreamCounts {
    int64_t Datagrams = 0;   // accepted
    int64_t Samples = 0;     // accepted, at the input rate
    int64_t Gaps = 0;        // losses filled with silence
    int64_t LostSamples = 0; // silence filled in, at the input rate
    int64_t Late = 0;        // datagrams dropped as late
    int64_t Bad = 0;         // datagrams dropped as odd-length or oversized
    int64_t Pauses = 0;      // pauses too long to fill
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

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

class PipeStreamDevice : public WaveDevice {
  public:
    // Reads raw samples from the file descriptor `fd` (0: standard input).
    PipeStreamDevice(int fd, int inputRate, SampleEncoding encoding, StreamReports reports);
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
