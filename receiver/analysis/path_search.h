// SPDX-License-Identifier: GPL-3.0-or-later
// Propagation paths in a power-delay profile: the sync power of the 512 lags
// averaged over blocks.
//
// Each peak is fitted with the known shape of one path (pulse_shape.h), or of
// two paths where one shape does not explain it; a path is a fitted shape
// standing clear of the floor and within RangeDb of the strongest.
//
// The preamble repeats its 31-symbol sequence, so every path also shows 62
// lags early and late (49 of the 80 symbols match, -4 dB) and 124 lags away
// (-13 dB).  Where paths fade fast these repetitions can outdo the path in
// some blocks.  Which of two peaks 62 or 124 lags apart is the path is told by
// the correlation with the sequence's first period alone (the chain's
// CorrLags): at a path's lag it holds the first period, 62 lags later the
// second, 62 lags earlier only data.
#pragma once

#include <array>
#include <cstdint>

#include "receiver/analysis/pulse_shape.h"
#include "receiver/dsp/peak.h"

namespace analysis {

inline constexpr int32_t MaxPaths = 4;

// A lag taken onto the circle of the 512 lags (any int, negative too).
static_assert((dsp::BasebandLen & (dsp::BasebandLen - 1)) == 0, "the lags wrap by a mask");
inline int32_t LagIndex(int32_t lag) {
    return lag & (dsp::BasebandLen - 1);
}
// The whole lag nearest to a fitted one (halves away from zero).
inline int32_t NearestLag(double lag) {
    return static_cast<int32_t>(lag >= 0.0 ? lag + 0.5 : lag - 0.5);
}
// The sequence's repetitions in the sync power.
inline constexpr int32_t RepeatLags = 62;

struct FoundPath {
    double Lag = 0.0;   // fitted position, 0 <= Lag < 512
    double Power = 0.0; // height of the fitted shape over the floor
    bool Fitted = true; // false: the peak's lag and height as they stand
};

struct PathList {
    int32_t Count = 0;
    std::array<FoundPath, MaxPaths> Paths{}; // strongest first
    // Peaks dropped as repetitions of a path (their lags), for the flags.
    int32_t GhostCount = 0;
    std::array<int32_t, 2 * MaxPaths> Ghosts{};
};

// The first-period correlation's power, averaged like the profile: Power(l)
// gives |CorrLags[l]|^2 (0 <= l < 512), Floor its level away from the paths.
// Asked for at a few lags only, where two peaks stand 62 or 124 lags apart.
class CorrelationPowers {
  public:
    virtual ~CorrelationPowers() = default;
    virtual double Power(int32_t lag) const = 0;
};

struct RepeatEvidence {
    const CorrelationPowers* Powers = nullptr; // none: the weaker of two peaks is the repetition
    double Floor = 0.0;
};

struct PathSearchOptions {
    double MinOverFloorDb = 6.0; // a path's peak over the floor at least
    double RangeDb = 20.0;       // and at most this far below the strongest
    // Two paths in one peak only where they explain it this much better than
    // one (share of the one-path misfit left) ...
    double SplitMisfitShare = 0.3;
    // ... and each of them at least this share of the pair's power.
    double SplitMinShare = 0.08;
    // Paths found a moment ago: where two of them shared a peak, the pair is
    // looked for near them only (profiles averaged over blocks change
    // slowly); a peak that was one path is searched for two only with
    // FullSplitSearch (now and then is enough).
    const PathList* Hint = nullptr;
    bool FullSplitSearch = true;
};

// The profile's floor and its spread from lag to lag, away from the given
// paths and their repetitions (every lag when there are none).
struct ProfileFloor {
    double Mean = 0.0;
    double Deviation = 0.0;
};
ProfileFloor FloorAwayFrom(const dsp::SyncPowerArray& profile, const PathList& paths);
// The same with the lags kept out given once for several profiles.
struct FloorMask {
    std::array<uint8_t, dsp::BasebandLen> Keep{}; // 1 where the floor is taken, else 0
    int32_t Count = 0;
};
FloorMask FloorMaskOf(const PathList& paths);
// Over every step-th lag only, where that is enough.
ProfileFloor FloorAwayFrom(const dsp::SyncPowerArray& profile, const FloorMask& mask,
                           int32_t step = 1);

PathList FindPaths(const PulseShape& shape, const dsp::SyncPowerArray& profile,
                   const ProfileFloor& floor, const RepeatEvidence& evidence,
                   const PathSearchOptions& options);

// True when `lag` lies within `tolerance` lags of a repetition (62 or 124 lags
// away) of `pathLag`.
bool AtRepetition(double lag, double pathLag, double tolerance);

} // namespace analysis
