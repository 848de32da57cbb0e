// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The generator's side of the disturbances: what it adds to the analogue signal
// and what it does to the recorded samples.  Used only by the generator.
#include <cstdint>
#include <memory>
#include <vector>

#include "s4285gen/disturbances.h"

namespace s4285gen {

struct Config;
class Generator;
class AudioSynth;

class DisturbanceSource {
  public:
    // signalPower: the STANAG 4285 signal's expected power, which the levels
    // refer to; sampleTimeS: the recorded sample period in analogue time.
    DisturbanceSource(const Config& config, double signalPower, double sampleTimeS);
    ~DisturbanceSource();

    // Expected power of what Next adds.
    double Power() const { return power_; }
    // Tones, other signals and audio at recorded sample n.
    double Next(uint64_t n);
    // Drop-outs and clipping of the recorded sample n (full scale 1).
    double Shape(double value, uint64_t n);

  private:
    struct ToneState {
        double Amplitude;
        double StepRad;
    };
    Disturbances d_;
    double sampleRate_;
    double power_ = 0;
    std::vector<ToneState> tones_;
    std::vector<std::unique_ptr<Generator>> others_;
    std::vector<double> otherScale_;
    std::unique_ptr<AudioSynth> audio_;
    double audioScale_ = 0;
    double held_ = 0;
    double clip_ = 0;
};

} // namespace s4285gen
