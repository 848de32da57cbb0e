// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// STANAG 4285 test-signal generator: the audio a sound card records from an HF
// receiver tuned to a STANAG 4285 transmission that reaches it over a multipath
// channel. Streaming, seeded and deterministic; no Qt.
//
// Signal model
//  - Frames of 256 symbols: the 80-symbol synchronisation preamble (BPSK, +-1 on the
//    real axis) followed by 176 pseudo-random 8-PSK symbols. Symbol k (k = 0, 1, ...)
//    is centred at time k / symbolRate; frame f starts with symbol 256 f, so frame 0
//    starts at time 0 (sample 0 for a path without delay). The symbol stream also
//    exists before time 0, so the recording is stationary from its first sample.
//  - Symbol rate = sampleRate / 4; root-raised-cosine pulses (roll-off 0.35, span
//    +-8 symbols) on the carrier carrierHz.
//  - Each path delays the whole passband signal by delayMs (fractional delays exact),
//    scales it by gainDb, shifts it by dopplerHz (+f arrives f Hz above the carrier)
//    plus an optional sinusoidal drift (driftHz amplitude, driftPeriodS period), and
//    with spreadHz > 0 multiplies it by complex Gaussian (Rayleigh) fading whose
//    Doppler power spectrum is Gaussian with two-sided width spreadHz (= 2 sigma),
//    normalised to unit mean power.
//  - SNR: expected signal power (sum over paths of the mean path power) divided by
//    the power of the white Gaussian noise over the whole audio band 0..fs/2, i.e. the
//    noise variance per recorded sample.
//  - Sound-card clock error: the card samples at fs * (1 + clockPpm * 1e-6), so
//    recorded sample n is the analogue signal at time n / (fs * (1 + clockPpm * 1e-6)).
//  - Level: the expected RMS of signal plus noise is levelDbfs relative to full scale
//    amplitude 1.0 (float output) or 32767 (int16 output). A full-scale sine therefore
//    reads -3.01 dBFS on this scale. int16 output is rounded and clipped; float output
//    is not clipped.
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "s4285gen/disturbances.h"

namespace s4285gen {

inline constexpr int FrameSymbols = 256;
inline constexpr int SyncSymbolCount = 80;
inline constexpr int SamplesPerSymbol = 4;

// One period of the maximal-length sequence b[n+5] = b[n+2] XOR b[n].
std::array<int, 31> SyncBits();
// SyncSymbols[k] = 1 - 2 * SyncBits[k mod 31], k = 0..79.
std::array<int, SyncSymbolCount> SyncSymbols();

struct Path {
    double DelayMs = 0;
    double GainDb = 0;
    double DopplerHz = 0;
    double SpreadHz = 0;     // two-sided width (2 sigma) of the Gaussian Doppler spectrum
    double DriftHz = 0;      // amplitude of a slow sinusoidal Doppler drift
    double DriftPeriodS = 0; // its period; used only when driftHz != 0
};

struct Config {
    int SampleRate = 9600;
    double CarrierHz = 1800;
    std::vector<Path> Paths{Path{}};
    double SnrDb = 30;
    double ClockPpm = 0;
    uint64_t Seed = 1;
    double LevelDbfs = -16;
    // Interferers and faults of the recording chain (disturbances.h); the
    // levels of the stream above do not change when they are added, except
    // that the RMS level counts them too.
    Disturbances Extra;
};

// NATO: 9600 Hz, 2400 baud on 1800 Hz. AMATEUR: 8000 Hz, 2000 baud on 1500 Hz.
// One undisturbed path, 30 dB SNR.
Config NatoConfig();
Config AmateurConfig();
// A lively channel for demonstrations: three paths a few ms apart with some spread,
// slowly drifting Doppler, moderate noise. Carrier at 3/16 of the sample rate.
Config LiveDemoConfig(int sampleRate);

// Empty when the configuration can be generated, else a one-line reason.
std::string CheckConfig(const Config& config);

// Fractional recorded-sample position of the centre of the first preamble symbol of
// frame `frame` as it arrives over path `path`.
double FrameStartSample(const Config& config, int64_t frame, std::size_t path);

class DisturbanceSource;

class Generator {
  public:
    // Throws std::invalid_argument with CheckConfig's reason for an unusable config.
    explicit Generator(const Config& config);
    ~Generator();
    Generator(Generator&&) noexcept;
    Generator& operator=(Generator&&) noexcept;

    // The next n recorded samples. Calls may be mixed and chunked freely: the stream
    // is the same as one long call.
    void Generate(int16_t* out, std::size_t n);
    void GenerateFloat(float* out, std::size_t n);

    uint64_t SamplesGenerated() const { return sampleIndex_; }
    const s4285gen::Config& Configuration() const { return config_; }

  private:
    struct Rng {
        uint64_t S[4];
        uint64_t Next();
        double Uniform();  // in [0, 1)
        double Gaussian(); // zero mean, unit variance
        bool HasSpare = false;
        double Spare = 0;
    };
    struct PathState {
        double Amplitude = 1;
        double DelayS = 0;
        double CarrierPhaseRad = 0; // phase at the start of the current segment
        std::complex<double> Phasor{1, 0};
        std::complex<double> Step{1, 0};
        // Fading (spreadHz > 0)
        bool Fading = false;
        Rng Random{};
        std::vector<double> Taps;
        std::vector<std::complex<double>> Line; // white samples, ring buffer
        std::size_t LinePos = 0;
        int64_t Decimation = 1;
        int64_t FadeCount = 0;
        std::complex<double> Fade0{1, 0}, Fade1{1, 0};
    };

    double NextSample();
    void StartSegment(PathState& p, const Path& cfg, double timeS);
    std::complex<double> NextFade(PathState& p);
    std::complex<double> NextFadeSample(PathState& p);
    void EnsureSymbols(int64_t lastIndex);

    Config config_;
    std::vector<PathState> paths_;
    std::unique_ptr<DisturbanceSource> extra_; // none unless Config::Extra asks for any
    std::vector<float> pulse_;                 // RRC table, PulseOversample points per symbol
    double sampleTimeS_ = 0;                   // recorded sample period in analogue time
    double symbolRate_ = 0;
    double noiseSigma_ = 0;
    double scale_ = 1;
    Rng symbolRng_{}, noiseRng_{};
    std::vector<float> symRe_, symIm_;
    int64_t symBase_ = 0; // symbol index of symRe_[0]
    uint64_t sampleIndex_ = 0;
};

} // namespace s4285gen
