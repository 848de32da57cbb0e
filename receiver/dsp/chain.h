// The block chain of the receiver: clock-correcting resampler, block intake,
// downconversion, gram correlator, slow-time Doppler spectra and the peak
// search.  Plain C++ over plain state; the chain computes and never draws: at
// the points where a picture is due it calls the display hooks.
//
// Arithmetic: arrays hold 32-bit floats unless stated otherwise.  Steps that
// are formed in extended precision and rounded when stored use double
// intermediates (a float x float product is exact there) or long double where
// the extended range or precision matters (resampler fraction, averages,
// Doppler in hertz).  ROUND is nearbyint under round-to-nearest-even, INT is
// floor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace rx {

// Fixed dimensions of one STANAG 4285 frame at four samples per symbol.
inline constexpr int32_t FrameSymbols = 256;
inline constexpr int32_t BlockLen = 4 * FrameSymbols; // input samples per block
inline constexpr int32_t BasebandLen = BlockLen / 2;  // complex samples per block
inline constexpr int32_t SyncLen = 80;                // correlator taps (symbols)
inline constexpr int32_t LowpassLen = 43;             // anti-alias lowpass taps
inline constexpr int32_t CorrLagCount = 2 * BasebandLen;
inline constexpr int32_t DopplerLags = 62;    // lags in the slow-time history
inline constexpr int32_t SlowRows = 256;      // blocks of slow-time history
inline constexpr int32_t SlowTimeStride = 65; // first index 0..64, stored fastest
inline constexpr int32_t SlowTimeRows = 513;  // second index 0..512

inline constexpr int32_t ModeNato = 1;
inline constexpr int32_t ModeAmateur = -1;

struct ComplexSample {
    float re = 0.0f;
    float im = 0.0f;
};

// The six numbers kept in the settings file.
struct Settings {
    long double ClockOffset = 0.0L; // fine sample-clock correction, a fraction
    long double ClockPpm = 0.0L;    // coarse correction in whole ppm
    float InputGain = 1.0f;
    float CorrGain = 1.0f;
    float DopplerGain = 1.0f;
    float ScatterGain = 1.0f;
};

struct TracePoint {
    float x = 0.0f; // smoothed correlation magnitude
    float y = 0.0f; // 512 - lag
};

struct TracePointArray {
    int32_t count = 0;
    std::array<TracePoint, CorrLagCount> points{};
};

// Everything the chain keeps between blocks.  Arrays carry the inclusive upper
// bound of the design (one spare element) so indices read as written there.
struct ChainState {
    // Signal parameters.
    int32_t ReceiverMode = ModeNato;
    int32_t SampleRate = 9600;
    int32_t CarrierHz = 1800;
    float PhaseStep = 0.0f;
    double TwoPi = 0.0;

    // Run-time state.
    int32_t WritePos = 0;
    float ResampleFrac = 0.0f;
    int32_t AverageCount = 1;
    int32_t AverageTick = 0;
    int32_t LagOffset = 0;
    int32_t MarkerLag = 0;
    int32_t DopplerShift = 0;
    int32_t SlowRow = 0;
    int32_t PeakLag = 0;
    double DopplerHz = 0.0;

    // Resampler edges: the last two input samples of the previous buffer and
    // the read position, relative to the next buffer's first sample, at which
    // the interpolation resumes.  With them a stream cut into buffers gives
    // the same output as one unbroken stream.
    std::array<int16_t, 2> ResampleHistory{}; // [0] = s[-2], [1] = s[-1]
    int32_t ResampleNext = 0;
    // Index into the current buffer of the input sample being interpolated
    // when a block completes (for callers that time-stamp blocks).
    int32_t ResampleInputPos = 0;

    std::array<int16_t, BlockLen + 1> CaptureBlock{};
    std::array<float, BlockLen + 1> SampleBlock{};
    std::array<ComplexSample, LowpassLen + BlockLen + 1> MixBuffer{};
    std::array<ComplexSample, 3 * BasebandLen + 1> Baseband{};

    std::array<float, LowpassLen + 1> LowpassTaps{};
    std::array<float, SyncLen + 1> CorrReference{};
    std::array<double, SyncLen + 1> PeakReference{};
    std::array<int32_t, 256> BitReverse{};
    std::array<float, 256> HannWindow{};

    std::array<float, 3 * BasebandLen + 1> CorrRe{};
    std::array<float, 3 * BasebandLen + 1> CorrIm{};
    std::array<ComplexSample, 4 * BasebandLen + 1> CorrLags{};
    std::array<float, 3 * BasebandLen + 1> CorrHistory{};
    std::array<float, 3 * BasebandLen + 1> CorrAverage{};
    TracePointArray TracePoints{};

    std::array<ComplexSample, SlowTimeStride * SlowTimeRows> SlowTime{};
    std::array<ComplexSample, 257> SlowColumn{};
    std::array<float, 256> SpecRe{};
    std::array<float, 256> SpecIm{};
    std::array<float, SlowTimeStride * SlowTimeRows> DopplerMatrix{};
    std::array<float, 257> DopplerProfile{};

    // The oscillator restarts at phase 0 every block, so its cos/sin sequence
    // is the same in every block: kept here, rebuilt when PhaseStep changes.
    std::array<long double, BlockLen> MixCos{};
    std::array<long double, BlockLen> MixSin{};
    float MixTableStep = -1.0f;

    // Two-dimensional arrays store the first index fastest.
    ComplexSample& SlowTimeAt(int32_t lag, int32_t row) {
        return SlowTime[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
    float& DopplerMatrixAt(int32_t lag, int32_t row) {
        return DopplerMatrix[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
    float DopplerMatrixAt(int32_t lag, int32_t row) const {
        return DopplerMatrix[static_cast<size_t>(row) * SlowTimeStride + lag];
    }
};

// The chain is large (about half a megabyte): keep it on the heap.
std::unique_ptr<ChainState> MakeChainState();

// Display steps the chain calls, in the chain's order; each is optional.
struct DisplayHooks {
    std::function<void(const ChainState&)> CorrelogramColumn; // AverageTick reached K
    std::function<void(const ChainState&)> DopplergramColumn; // new DopplerProfile
    std::function<void(const ChainState&)> ScattergramColumn; // every block
    std::function<void(const ChainState&)> CorrelationTrace;  // every block, end of GramCorrelate
    std::function<void(int32_t hz)> TuneIndicator;            // every block, end of ProcessBlock
};

// Parameters and tables.
void SetSignalParameters(ChainState& chain, Settings& settings);
void BuildSignalTables(ChainState& chain);
void SetReceiverMode(ChainState& chain, int32_t mode); // chain part: mode, rate, carrier
int32_t ReverseBits(int32_t value, int32_t width);

// Qt's drawing code uses AVX and can leave the upper halves of the vector
// registers dirty; plain SSE code then runs several times slower until they
// are cleared.  The chain clears them at every buffer; painters after drawing.
void ClearUpperVectorState();

// Intake.
long double ClockCorrection(const Settings& settings); // epsilon per input sample
void ResampleBuffer(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                    const int16_t* buffer, int64_t recordedBytes);
void IntakeSample(ChainState& chain, const Settings& settings, const DisplayHooks& hooks,
                  float sample);
void ProcessBlock(ChainState& chain, const Settings& settings, const DisplayHooks& hooks);

// Downconversion.
void Downconvert(ChainState& chain);
ComplexSample LowpassSample(const ChainState& chain, int32_t start);

// Gram correlator.
ComplexSample CorrelateAt(const ChainState& chain, int32_t lag);
void GramCorrelate(ChainState& chain, const Settings& settings, const DisplayHooks& hooks);

// Doppler spectra.
void UpdateDoppler(ChainState& chain, const DisplayHooks& hooks);
void SlowTimeFft(ChainState& chain);
bool DopplerSpectrumDue(int32_t slowRow);

// Peak search and phase step.
double SyncPowerAt(const ChainState& chain, int32_t lag);
int32_t FindSyncPeak(const ChainState& chain);
double EstimatePhaseStep(const ChainState& chain, int32_t peakLag);
double ConjProductRe(ComplexSample a, ComplexSample b);
double ConjProductIm(ComplexSample a, ComplexSample b);
double Atan2Ext(double y, double x);
double DopplerFromPhaseStep(int32_t sampleRate, double phaseStep);
int32_t TuneValue(double dopplerHz); // INT: towards minus infinity

} // namespace rx
