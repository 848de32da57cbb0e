// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a piece of a sample stream is missing between two datagrams, judged
// from the samples themselves.
//
// Audio from a receiver is far narrower than the rate it is sent at, so each
// sample is well predicted from those before it (a linear predictor fitted to
// the stream just before the join). Where the stream goes on unbroken, the
// first samples after the join are predicted as well as any others; where a
// datagram went missing they continue a different stretch of the signal and
// the prediction misses. How far it misses depends on the signal: by about the
// signal itself for a modem's random symbols, hardly at all for a steady tone
// whose phase a cut of that length leaves nearly where it was. So the stream's
// own past, cut by the sizes datagrams have, shows how a broken join of this
// signal would look, and the first samples after the real join are weighed
// between the two: the log-likelihood ratio of "a piece is missing here"
// against "the stream goes on", strongly negative for a clean join, strongly
// positive for a broken one, near zero when a cut would not show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace io {

// Bounds of what one join may count for, either way.
inline constexpr double MaxJoinEvidence = 30.0;

class JoinJudge {
  public:
    // The evidence (a log-likelihood ratio) that samples are missing before
    // these `count` samples, which follow those given before; 0 while the
    // stream so far is too short to tell.
    double Next(const int16_t* samples, size_t count);

  private:
    double Evidence(const int16_t* samples) const;

    std::vector<double> past_;       // the last samples of the stream so far
    std::vector<int64_t> lastSizes_; // the sizes of the last datagrams
};

} // namespace io
