// SPDX-License-Identifier: GPL-3.0-or-later
// Devices of the wave-input layer that are not sound cards: the built-in STANAG 4285
// test signal and a recording replayed from a file. Both deliver their samples at
// the pace of a real sound card (timed by the monotonic clock, topped up by a timer
// on the main thread), so the receiver behaves exactly as it does live.
#pragma once

#include "receiver/io/recording.h"
#include "receiver/io/wave_input.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace io {

// The built-in test signal: a STANAG 4285 transmission received over a lively HF
// channel (three paths a few ms apart, slowly drifting Doppler, some spread, moderate
// noise). It opens at any rate; the signal follows the rate (2400 baud on 1800 Hz at
// 9600 samples/s, 2000 baud on 1500 Hz at 8000 samples/s). Each open starts a fresh
// transmission from the same seed.
class TestSignalDevice : public WaveDevice {
  public:
    explicit TestSignalDevice(uint64_t seed = 1) : seed_(seed) {}
    QString Name() const override;
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;

  private:
    uint64_t seed_;
};

// A recording replayed at real-time pace. Any mono or stereo file libsndfile reads
// will do, at any rate and sample type: it is converted to the rate the device is
// opened at (9600 for NATO, 8000 for AMATEUR), and of a stereo file the chosen
// channel (or the mix) is used; floating-point files are read as full scale +-1.0
// and clipped. Every open plays the file from its start. At its end the last,
// partly filled buffer is returned with the samples it holds, an End notice
// follows and nothing more is delivered: in the window the displays stand still,
// as with a receiver whose sound card has gone quiet; a headless run ends.
class RecordingDevice : public WaveDevice {
  public:
    // The samples are dated from `startWallMs` (ms since the epoch; none: when
    // the replay starts) plus their count.
    explicit RecordingDevice(QString path, io::ChannelChoice channel = io::ChannelChoice::Left,
                             std::optional<int64_t> startWallMs = std::nullopt)
        : path_(std::move(path)), channel_(channel), startWallMs_(startWallMs) {}
    QString Name() const override;
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;

  private:
    QString path_;
    io::ChannelChoice channel_;
    std::optional<int64_t> startWallMs_;
};

} // namespace io
