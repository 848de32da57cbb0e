// SPDX-License-Identifier: GPL-3.0-or-later
// How good each block is: the sync peak's signal to noise, whether the peak
// holds still (lock), and the further propagation paths seen in the sync
// power averaged over a few blocks.
//
// Everything is read from PeakState::SyncPower, the power of the correlation
// with the 80-symbol preamble at each of the 512 lags of the block (two lags
// per symbol).  The preamble is two and a half periods of a 31-symbol
// sequence, so a lag 62 (or 124) away from a path also correlates with part of
// the preamble: 49 of 80 symbols at +-62 lags (-4.3 dB), 18 at +-124 (-13 dB).
// Those repetitions are never taken for noise nor for paths of their own.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "receiver/dsp/peak.h"

namespace analysis {

// Lags between repetitions of the 31-symbol sequence in the sync power.
inline constexpr int32_t SequenceRepeatLags = 62;
// Lags on each side of a peak and of its repetitions kept out of the noise
// floor and of the search for further paths: the main lobe of the preamble's
// correlation is about one symbol (two lags) wide on each side.
inline constexpr int32_t PeakGuardLags = 3;
// Locked: the peak lag of the last LockBlocks blocks lies within +-1 lag of
// one lag (circularly), and each of these peaks stands at least
// MinLockSnrDb over the noise floor (silence, a carrier or hum give a peak
// that stays put without any preamble in it).
inline constexpr int32_t LockBlocks = 8;
inline constexpr int32_t LockSpreadLags = 2;
inline constexpr double MinLockSnrDb = 8.0;
// Paths are searched in the sync power averaged over this many blocks.
inline constexpr int32_t PathAverageBlocks = 8;
// Time constant, in blocks, of the longer average the paths are placed by
// (about 3.4 s NATO).
inline constexpr int32_t SteadyAverageBlocks = 32;
// A further path is a local maximum of the averaged sync power that stands at
// least PathMinSnrDb over the averaged noise floor and at most PathRangeDb
// below the strongest path.
inline constexpr double PathMinSnrDb = 8.0;
inline constexpr double PathRangeDb = 20.0;

// One path besides the strongest one.
struct FurtherPath {
    double DelayMs = 0.0; // after the strongest path; negative: it arrives earlier
    double RelDb = 0.0;   // power against the strongest path, 0 or below
};

struct BlockQuality {
    double PeakSnrDb = 0.0; // sync peak power over the median power away from it
    bool Locked = false;
    int32_t LockedBlocks = 0; // consecutive locked blocks up to this one
    double FloorPower = 0.0;  // that median
    // The strongest path of the averaged sync power over its floor: steadier
    // than the peak of one block, and the lock's test.
    double AverageSnrDb = 0.0;
    // From the averaged sync power: the strongest path's lag (sub-lag
    // position, 0 <= lag < 512) and up to two further paths, strongest first
    // (none before PathAverageBlocks blocks have been seen).
    double StrongestLag = 0.0;
    std::array<std::optional<FurtherPath>, 2> Paths;
    // The strongest path of the sync power averaged over a few seconds
    // (exponentially, SteadyAverageBlocks): where paths fade in turn, the
    // one that is strongest most of the time.  Where the paths are placed.
    double SteadyStrongestLag = 0.0;
};

// The sub-lag position of the peak at `lag` (0 <= result < 512): the vertex of
// the parabola through the magnitudes at lag - 1, lag and lag + 1 (taken
// circularly), within half a lag of `lag`.
double SubLagPeak(const dsp::SyncPowerArray& power, int32_t lag);

// Median of the powers of every second lag outside the guard zones around
// `peakLag` and its repetitions (0 when there is nothing but zeros).
double NoiseFloor(const dsp::SyncPowerArray& power, int32_t peakLag);

// Power ratio in dB, with 0 for a zero peak and a large finite value (99 dB)
// for a peak over a floor of exactly zero.
double PowerRatioDb(double peak, double floor);

// Up to two further paths in a sync power (averaged over blocks or not),
// beside the strongest one at `strongestLag`, over the floor `floor`.
std::array<std::optional<FurtherPath>, 2> FindFurtherPaths(const dsp::SyncPowerArray& power,
                                                           int32_t strongestLag, double floor,
                                                           int32_t sampleRate);

// The sync peak's contrast of one block alone: PeakSnrDb and FloorPower as
// QualityTracker::Add gives them, nothing averaged (the rest left as it is).
BlockQuality PeakContrast(const dsp::PeakState& peak);

// Follows the blocks of one run.  Add() after every block, in order.
class QualityTracker {
  public:
    const BlockQuality& Add(const dsp::PeakState& peak, int32_t sampleRate);
    const BlockQuality& Last() const { return last_; }
    // The sync power averaged over the last PathAverageBlocks blocks.
    const dsp::SyncPowerArray& AveragePower() const { return average_; }
    int64_t Blocks() const { return blocks_; }
    void Reset();

  private:
    std::array<int32_t, LockBlocks> recentLags_{};
    std::array<double, LockBlocks> recentSnrDb_{};
    std::array<dsp::SyncPowerArray, PathAverageBlocks> recentPower_{};
    dsp::SyncPowerArray sum_{};
    dsp::SyncPowerArray average_{};
    dsp::SyncPowerArray steadyAverage_{};
    int64_t blocks_ = 0;
    BlockQuality last_;
};

// The peak steady for about `seconds`: this block locked, and at least
// SteadyLockedShare of the blocks of the last `seconds` locked.  Where paths
// fade in turn the lock breaks now and then; this still holds.
inline constexpr double SteadyLockedShare = 0.6;
class SteadyLock {
  public:
    explicit SteadyLock(double seconds) : seconds_(seconds) {}
    // After every block; true while steady.
    bool Add(bool locked, int32_t sampleRate);
    void Reset();

  private:
    double seconds_;
    std::vector<char> recent_; // ring of the last blocks' lock
    size_t next_ = 0;
    size_t filled_ = 0;
    int64_t locked_ = 0;
    int32_t sampleRate_ = 0;
};

// The share of locked blocks in a run, and whether it found a signal at all:
// not when fewer than MinLockedShare of its blocks were locked, not counting
// the first LockWarmUpBlocks (about 1.7 s), before which no lock can be told.
inline constexpr double MinLockedShare = 0.2;
inline constexpr int64_t LockWarmUpBlocks = LockBlocks + PathAverageBlocks;
struct LockTally {
    int64_t Blocks = 0;
    int64_t Judged = 0; // blocks after the warm-up
    int64_t Locked = 0; // of those
    void Add(bool locked) {
        if (++Blocks <= LockWarmUpBlocks) return;
        ++Judged;
        Locked += locked ? 1 : 0;
    }
    double Share() const { return Judged > 0 ? double(Locked) / double(Judged) : 0.0; }
    // Too short a run to tell says nothing.
    bool NoSignal() const { return Judged > 0 && Share() < MinLockedShare; }
};

// a - b on the circle of 512 lags, in -256..255.
int32_t LagDifference(int32_t a, int32_t b);
// (Inline: the path search asks for it in its innermost loops.)
inline double LagDifference(double a, double b) {
    constexpr double lags = dsp::BasebandLen;
    // Within a turn of the circle fmod would give the difference itself.
    double d = a - b;
    if (!(d > -lags && d < lags)) d = std::fmod(d, lags);
    if (d < -lags / 2) d += lags;
    if (d >= lags / 2) d -= lags;
    return d;
}

} // namespace analysis
