// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/measurement.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "receiver/analysis/correlation_store.h"
#include "receiver/analysis/lag_kernels.h"
#include "receiver/analysis/minute_analysis.h"
#include "receiver/analysis/preamble_snr.h"
#include "receiver/analysis/pulse_shape.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/analysis/tone_watch.h"

namespace analysis {

namespace {

constexpr int32_t Lags = dsp::BasebandLen;
// The profile's average: exponential over about this many blocks.
constexpr double ProfileBlocks = 8.0;
// No paths before this many blocks, no lock before LockWarmUp.
constexpr int64_t PathWarmUp = 4;
constexpr int64_t LockWarmUp = 8;
// Locked: a path in the profile, at least this far over its floor ...
constexpr double LockOverFloorDb = 6.0;
// ... and the sync power of the last two blocks around the paths (a lag on
// each side) at least this much over the floor, in units of the floor.
constexpr double MinBlockEnergy = 4.0;
constexpr int32_t EnergyHalfWidth = 1;
// ... and a path within this many lags of a path of the block before.
constexpr double SteadyLags = 3.0;
// Two paths in one peak are searched for afresh every this many blocks, and
// near where they were in between.
constexpr int64_t FullSplitEvery = 16;
// The SNR is taken over this many blocks.
constexpr size_t SnrBlocks = 8;
// A run of at least this many equal samples is a dead input (3.3 ms NATO).
constexpr int32_t DeadRunSamples = 32;
// Samples this close to full scale are clipped; at least this many of them in
// a block flag it.
constexpr float ClippedLevel = 0.99997f;
constexpr int32_t MinClippedSamples = 2;
// A receiver or sound card that clips below full scale leaves a flat top:
// several samples at the block's largest magnitude (audio and noise reach it
// once), at a level where clipping happens (from -20 dBFS).
constexpr float FlatTopShare = 0.9999f;
constexpr int32_t MinFlatTopSamples = 4;
constexpr float MinFlatTopLevel = 0.1f;
// The chain's peak is a repetition when it lies this close to 62 or 124 lags
// from a path, and not within PeakOnPathLags of one.
constexpr double RepeatTolerance = 3.0;
constexpr double PeakOnPathLags = 2.0;
// A block's measurements read the baseband of it and the two before it.
constexpr size_t HistoryBlocks = 3;
constexpr int64_t AfterFillBlocks = 4;
// The evidence against the sequence's repetitions comes from the first-period
// correlation of the last blocks (summed as they come, the sums formed afresh
// every so often so that rounding cannot pile up), its floor from every
// FloorLagStep-th lag.
constexpr int64_t EvidenceBlocks = 24;
constexpr int64_t EvidenceRefresh = 1024;
constexpr int32_t FloorLagStep = 8;

// |CorrLags[l]|^2 summed over the last EvidenceBlocks blocks of the store.
class RecentPowers : public CorrelationPowers {
  public:
    void Reset() {
        sum_.fill(0.0);
        count_ = 0;
    }
    // After the store took the newest block.
    void Update(const CorrelationStore& store) {
        const int64_t newest = store.Blocks() - 1;
        if (newest % EvidenceRefresh == 0) {
            sum_.fill(0.0);
            count_ = 0;
            for (int64_t b = std::max<int64_t>(0, newest - EvidenceBlocks + 1); b < newest; ++b)
                Add(store.Block(b));
        }
        if (count_ < EvidenceBlocks) {
            Add(store.Block(newest));
            return;
        }
        // The newest in, the one EvidenceBlocks before it out.
        SlideLagPowers(sum_.data(), store.Block(newest), store.Block(newest - EvidenceBlocks));
    }
    double Power(int32_t lag) const override {
        return count_ > 0 ? std::max(0.0, sum_[size_t(lag)]) / double(count_) : 0.0;
    }
    double Floor(const FloorMask& mask) const {
        double sum = 0.0;
        int32_t count = 0;
        for (int32_t l = 0; l < Lags; l += FloorLagStep)
            if (mask.Keep[size_t(l)]) {
                sum += Power(l);
                ++count;
            }
        return count > 0 ? sum / count : 0.0;
    }

  private:
    void Add(const dsp::ComplexSample* corr) {
        SlideLagPowers(sum_.data(), corr, nullptr);
        ++count_;
    }
    std::array<double, dsp::BasebandLen> sum_{};
    int64_t count_ = 0;
};
// The profile's floor from every second lag (neighbours are alike), a
// block's own from every fourth (its floor only weighs its energy).
constexpr int32_t ProfileFloorStep = 2;
constexpr int32_t BlockFloorStep = 4;

// Dead stretches and clipping in the block the chain has just taken in.
uint32_t InputFlags(const dsp::SampleBlockArray& block, float gain, float& previous,
                    const BlockInputFacts& facts) {
    uint32_t flags = 0;
    const SampleScan scan =
        ScanSamples(block.data(), previous, ClippedLevel * std::abs(gain), FlatTopShare);
    if (scan.Equal >= DeadRunSamples) {
        int32_t run = 0;
        float before = previous;
        for (int32_t n = 0; n < dsp::BlockLen && !(flags & FlagDropout); ++n) {
            run = block[size_t(n)] == before ? run + 1 : 0;
            if (run >= DeadRunSamples) flags |= FlagDropout;
            before = block[size_t(n)];
        }
    }
    previous = block[size_t(dsp::BlockLen - 1)];
    const bool flatTop = scan.AtTop >= MinFlatTopSamples &&
                         scan.Top >= MinFlatTopLevel * std::abs(gain) && !(flags & FlagDropout);
    if ((scan.AtLevel >= MinClippedSamples && gain != 0.0f) || flatTop || facts.ClippedSamples > 0)
        flags |= FlagClipping;
    if (facts.Fill) flags |= FlagFill;
    return flags;
}

} // namespace

std::string FlagWords(uint32_t flags) {
    static constexpr std::pair<BlockFlag, const char*> Words[] = {
        {FlagDropout, "dropout"},
        {FlagInterference, "interference"},
        {FlagClipping, "clipping"},
        {FlagFill, "fill"},
        {FlagGhostRejected, "ghost-rejected"},
        {FlagClockStep, "clock-step"},
        {FlagClockUnsynced, "clock-unsynced"},
    };
    std::string text;
    for (const auto& [flag, word] : Words) {
        if (!(flags & flag)) continue;
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

struct MeasurementStage::State {
    int32_t SampleRate = 0;
    int64_t Blocks = 0;
    std::shared_ptr<const PulseShape> Shape;
    dsp::SyncPowerArray Profile{};
    CorrelationStore Store;
    analysis::RecentPowers RecentPowers;
    PathList Paths;
    ToneWatch Tones;
    std::array<uint32_t, HistoryBlocks> InputFlags{};
    float PreviousSample = 0.0f;
    int64_t BlocksSinceFill = std::numeric_limits<int64_t>::max() / 2;
    std::array<PreambleSums, SnrBlocks> Preambles{};
    PreambleSums PreambleSum;
    double PreviousEnergy = 0.0;
    MinuteAnalysis Minute;
    BlockMeasurement Last;

    void Restart(const dsp::ChainState& chain);
    void Average(const dsp::ChainState& chain);
    double BlockEnergy(const dsp::SyncPowerArray& power, const FloorMask& mask) const;
    std::optional<PreambleSums> Preamble(const dsp::BasebandArray& baseband) const;
    std::optional<double> SnrDb(const std::optional<PreambleSums>& block);
    bool Describe(const dsp::ChainState& chain, float gain, BlockMeasurement& m) const;
};

void MeasurementStage::State::Restart(const dsp::ChainState& chain) {
    SampleRate = chain.SampleRate;
    Blocks = 0;
    Shape = SharedPulseShape(chain.Tables);
    Profile = {};
    Store.Reset();
    RecentPowers.Reset();
    Paths = PathList{};
    Tones.Reset();
    InputFlags = {};
    BlocksSinceFill = std::numeric_limits<int64_t>::max() / 2;
    Preambles = {};
    PreambleSum = PreambleSums{};
    PreviousEnergy = 0.0;
    Minute.Start(SampleRate, Shape.get(), &Store);
}

void MeasurementStage::State::Average(const dsp::ChainState& chain) {
    const double weight = std::max(1.0 / ProfileBlocks, 1.0 / double(Blocks));
    AverageLags(Profile.data(), chain.Peak.SyncPower.data(), weight);
    Store.Add(chain.Correlator.CorrLags);
    RecentPowers.Update(Store);
}

// The sync power of this block around the paths, over its floor, in units of
// the floor.
double MeasurementStage::State::BlockEnergy(const dsp::SyncPowerArray& power,
                                            const FloorMask& mask) const {
    const double floor = FloorAwayFrom(power, mask, BlockFloorStep).Mean;
    if (!(floor > 0.0)) return 0.0;
    std::array<bool, Lags> counted{};
    double energy = 0.0;
    for (int32_t p = 0; p < Paths.Count; ++p) {
        const auto lag = NearestLag(Paths.Paths[size_t(p)].Lag);
        for (int32_t d = -EnergyHalfWidth; d <= EnergyHalfWidth; ++d) {
            const auto l = size_t(LagIndex(lag + d));
            if (counted[l]) continue;
            counted[l] = true;
            energy += (power[l] - floor) / floor;
        }
    }
    return energy;
}

std::optional<PreambleSums>
MeasurementStage::State::Preamble(const dsp::BasebandArray& baseband) const {
    if (Paths.Count == 0) return std::nullopt;
    const double base = Paths.Paths[0].Lag;
    double earliest = 0.0, latest = 0.0;
    for (int32_t i = 1; i < Paths.Count; ++i) {
        const double d = LagDifference(Paths.Paths[size_t(i)].Lag, base);
        earliest = std::min(earliest, d);
        latest = std::max(latest, d);
    }
    double firstLag = base + earliest;
    if (firstLag < 0.0) firstLag += Lags;
    return PreamblePairs(baseband, firstLag, firstLag + (latest - earliest));
}

std::optional<double> MeasurementStage::State::SnrDb(const std::optional<PreambleSums>& block) {
    PreambleSums& slot = Preambles[size_t(Blocks % int64_t(SnrBlocks))];
    PreambleSum -= slot;
    slot = block.value_or(PreambleSums{});
    PreambleSum += slot;
    const double signal = PreambleSum.SignalPerSample(Shape->ImageShare());
    const double noise = PreambleSum.NoisePerSample(Shape->ImageShare());
    if (PreambleSum.Pairs <= 0 || !(signal > 0.0) || !(noise > 0.0)) return std::nullopt;
    return 10.0 * std::log10(signal / noise * Shape->Snr3kPerBaseband(SampleRate));
}

bool MeasurementStage::State::Describe(const dsp::ChainState& chain, float gain,
                                       BlockMeasurement& m) const {
    m.PathCount = Paths.Count;
    const double lagsPerMs = chain.SampleRate / 2.0 / 1000.0;
    for (int32_t i = 0; i < Paths.Count; ++i) {
        const FoundPath& p = Paths.Paths[size_t(i)];
        m.Paths[size_t(i)] = {p.Lag, LagDifference(p.Lag, Paths.Paths[0].Lag) / lagsPerMs,
                              10.0 * std::log10(p.Power / Paths.Paths[0].Power)};
    }
    if (Paths.Count > 0 && gain != 0.0f) {
        const double input = Shape->InputPowerOfSyncPeak(Paths.Paths[0].Power);
        m.Path1Dbfs = 10.0 * std::log10(input / (double(gain) * gain));
    }
    // The chain's own peak at a repetition of a path, and on none.
    const double peak = chain.Peak.PeakLag;
    bool onPath = false, atRepeat = false;
    for (int32_t i = 0; i < Paths.Count; ++i) {
        onPath =
            onPath || std::abs(LagDifference(peak, Paths.Paths[size_t(i)].Lag)) <= PeakOnPathLags;
        atRepeat = atRepeat || AtRepetition(peak, Paths.Paths[size_t(i)].Lag, RepeatTolerance);
    }
    // (Where the input was dead or filled, the chain's peak means nothing.)
    if (atRepeat && !onPath && !(m.Flags & (FlagDropout | FlagFill))) m.Flags |= FlagGhostRejected;
    return onPath;
}

MeasurementStage::MeasurementStage() : state_(std::make_unique<State>()) {}
MeasurementStage::~MeasurementStage() = default;

const BlockMeasurement& MeasurementStage::Last() const {
    return state_->Last;
}

int64_t MeasurementStage::MinuteBlocks() const {
    return state_->Minute.Blocks();
}

ChannelRow MeasurementStage::FinishMinute() {
    State& s = *state_;
    ChannelRow row;
    if (s.Shape) {
        row = s.Minute.Finish();
        s.Minute.Start(s.SampleRate, s.Shape.get(), &s.Store);
    }
    return row;
}

const BlockMeasurement& MeasurementStage::Add(const dsp::ChainState& chain,
                                              const dsp::Settings& settings,
                                              const BlockInputFacts& facts) {
    State& s = *state_;
    if (chain.SampleRate != s.SampleRate || !s.Shape) s.Restart(chain);
    ++s.Blocks;
    BlockMeasurement m;

    std::rotate(s.InputFlags.rbegin(), s.InputFlags.rbegin() + 1, s.InputFlags.rend());
    s.InputFlags[0] =
        InputFlags(chain.Intake.SampleBlock, settings.InputGain, s.PreviousSample, facts);
    for (uint32_t flags : s.InputFlags)
        m.Flags |= flags;

    const PathList previous = s.Paths;
    s.Average(chain);
    // The floors keep out the paths of the block before: they move slowly.
    const FloorMask mask = FloorMaskOf(s.Paths);
    if (s.Blocks >= PathWarmUp) {
        const ProfileFloor floor = FloorAwayFrom(s.Profile, mask, ProfileFloorStep);
        RepeatEvidence evidence;
        evidence.Powers = &s.RecentPowers;
        evidence.Floor = s.RecentPowers.Floor(mask);
        PathSearchOptions options;
        options.MinOverFloorDb = LockOverFloorDb;
        options.Hint = &previous;
        options.FullSplitSearch = s.Blocks % FullSplitEvery == 0;
        s.Paths = FindPaths(*s.Shape, s.Profile, floor, evidence, options);
    }
    const double energy = s.BlockEnergy(chain.Peak.SyncPower, mask);
    const bool present = (energy + s.PreviousEnergy) / 2.0 >= MinBlockEnergy;
    s.PreviousEnergy = energy;
    // A path seen a block ago as well: a signal's paths do not flicker.
    bool steady = false;
    for (int32_t i = 0; i < previous.Count; ++i)
        for (int32_t j = 0; j < s.Paths.Count; ++j)
            steady = steady || std::abs(LagDifference(previous.Paths[size_t(i)].Lag,
                                                      s.Paths.Paths[size_t(j)].Lag)) <= SteadyLags;
    m.Locked = s.Blocks >= LockWarmUp && s.Paths.Count > 0 && steady && present &&
               !(m.Flags & (FlagDropout | FlagFill));

    const auto preamble = s.Preamble(chain.Downconverter.Baseband);
    m.SnrDb = s.SnrDb(preamble);
    // A network input places a loss to within a datagram or two: for a few
    // blocks after a fill the samples may stand a datagram off, and a chain
    // peak off every path is taken for that, not for the signal.
    s.BlocksSinceFill = (m.Flags & FlagFill) ? 0 : s.BlocksSinceFill + 1;
    if (!s.Describe(chain, settings.InputGain, m) && s.BlocksSinceFill <= AfterFillBlocks)
        m.Locked = false;

    s.Tones.Add(chain.Downconverter.Baseband, chain.SampleRate);
    if (!s.Tones.Lines().empty()) m.Flags |= FlagInterference;

    s.Store.Describe(m.Locked, s.Tones.Lines());
    s.Minute.Add(chain.Peak.SyncPower, m.Locked, preamble);
    s.Last = m;
    return s.Last;
}

} // namespace analysis
