// SPDX-License-Identifier: GPL-3.0-or-later
// Receivers on an IQ stream: for each channel, what an upper-sideband receiver
// tuned to it hands the sound card.  The carrier, given by its offset from the
// stream's centre, comes out at the mode's audio carrier (1800 Hz at 9600
// samples/s in NATO mode, 1500 Hz at 8000 in AMATEUR mode) as real 16-bit
// audio in buffers of 1024 samples, the buffers the chain's intake takes.
//
// Every channel shares one Channelizer.  Each channel keeps the audio band
// from just above 0 Hz to just below half the audio rate, centred at a quarter
// of the audio rate; libsoxr brings it from the filter bank's rate to the
// audio rate, and a turn by a quarter of a cycle per sample (exact) moves its
// centre to a quarter of the audio rate, whose real part is the audio.
// Output sample n of a channel is the input at time n / audio rate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver/io/channelizer.h"
#include "receiver/io/iq_samples.h"

struct soxr;

namespace io {

// The audio band of a receiver mode.
struct ModeAudio {
    int32_t Rate = 9600;
    double CarrierHz = 1800.0;
    // Measured from the band's centre at Rate / 4: flat within +-PassHz,
    // gone beyond +-StopHz.
    double PassHz = 2200.0;
    double StopHz = 2600.0;
};
ModeAudio AudioForMode(int32_t mode);

struct ChannelTuning {
    double CarrierOffsetHz = 0.0; // from the stream's centre (0 Hz of the baseband)
    int32_t Mode = 1;             // ModeNato or ModeAmateur
    // Audio = Gain x the real signal, full scale 1.0.  0: a slow automatic
    // level (as a receiver's AGC) holding the audio near AutoLevelRms.
    float Gain = 0.0f;
};

inline constexpr float AutoLevelRms = 0.1f;
inline constexpr double AutoLevelSeconds = 4.0;
inline constexpr int32_t AudioBufferSamples = 1024;

// A buffer of audio of one channel: `count` samples, 1024 except the last.
using AudioSink = std::function<void(int32_t channel, const int16_t* samples, int32_t count)>;

class IqFrontEnds {
  public:
    // Null with a one-line reason when the rate cannot be served or a channel
    // does not fit in the band.
    static std::unique_ptr<IqFrontEnds> Create(double inputRate,
                                               const std::vector<ChannelTuning>& tunings,
                                               std::string& error, bool measurePlans = false);
    ~IqFrontEnds();
    IqFrontEnds(const IqFrontEnds&) = delete;
    IqFrontEnds& operator=(const IqFrontEnds&) = delete;

    // IQ samples in order, cut anywhere; whole audio buffers go to `sink`.
    void Feed(const IqSample* in, size_t count, const AudioSink& sink);
    // The end of the stream: the rest of every channel, exactly as many audio
    // samples as the stream lasted, the last buffer short.
    void Finish(const AudioSink& sink);

    const Channelizer& Bank() const { return *bank_; }
    int32_t Channels() const { return int32_t(channels_.size()); }
    const ChannelTuning& Tuning(int32_t channel) const { return channels_[size_t(channel)].Tuning; }

  private:
    struct Channel {
        ChannelTuning Tuning;
        ModeAudio Audio;
        soxr* Resampler = nullptr;
        std::vector<IqSample> Resampled;
        int64_t Produced = 0;     // audio samples so far
        double Power = -1.0;      // the automatic level's mean power, < 0 before any
        double BufferPower = 0.0; // sum of squares of the buffer being filled
        float Gain = 1.0f;
        std::vector<int16_t> Buffer;
        std::vector<float> Pending; // the first buffer, before its level is known
    };
    IqFrontEnds() = default;
    void Drain(int32_t index, bool last, const AudioSink& sink);
    void Deliver(int32_t index, const IqSample* audio, size_t count, const AudioSink& sink);
    void EmitBuffer(int32_t index, int32_t count, const AudioSink& sink);

    std::unique_ptr<Channelizer> bank_;
    std::vector<Channel> channels_;
    double inputRate_ = 0.0;
    bool finished_ = false;
};

} // namespace io
