// SPDX-License-Identifier: GPL-3.0-or-later
// The chain's first-period correlation (CorrLags) of the latest blocks, as the
// measurement keeps it: the taps of the paths for their Doppler over a minute,
// and the evidence against the sequence's repetitions over the last blocks.
// One copy a block (4.6 kB) into a ring of a minute and a little more (600
// blocks: a minute holds 562.5 NATO or 468.75 AMATEUR blocks; 2.8 MB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "receiver/analysis/path_search.h"
#include "receiver/dsp/tables.h"

namespace analysis {

// Lags kept per block: every lag a path can lie at, and its preamble's
// second period one sequence period on.
inline constexpr int32_t KeptLags = dsp::BasebandLen + RepeatLags;

class CorrelationStore {
  public:
    static constexpr int64_t Capacity = 600;

    CorrelationStore();
    void Reset();
    // The block the chain has just processed; then, once they are known,
    // whether it was locked and the carriers in its passband (baseband Hz, at
    // most MaxCarriers).
    static constexpr size_t MaxCarriers = 3;
    void Add(const dsp::CorrLagArray& corr);
    void Describe(bool locked, const std::vector<double>& carriersHz);

    // Blocks added since Reset; a block is at hand while it is one of the
    // last Capacity.
    int64_t Blocks() const { return blocks_; }
    int64_t Oldest() const { return blocks_ > Capacity ? blocks_ - Capacity : 0; }
    const dsp::ComplexSample* Block(int64_t block) const {
        return &ring_.Samples[size_t(block % Capacity) * size_t(KeptLags)];
    }
    bool Locked(int64_t block) const { return locked_[size_t(block % Capacity)] != 0; }
    const std::vector<double>& Carriers(int64_t block) const {
        return carriers_[size_t(block % Capacity)];
    }

  private:
    // Taken from the system zeroed and untouched: a page is only mapped in
    // when a block is first written to it (a trial of a minute, or a short
    // recording, never uses most of the ring).  The pages are large ones
    // where the system has them (2 MiB: three for the NATO ring instead of
    // some 1350 small ones, each a fault on its first write).
    struct Ring {
        void* Mapping = nullptr;
        size_t Bytes = 0;
        dsp::ComplexSample* Samples = nullptr;
        Ring();
        ~Ring();
        Ring(const Ring&) = delete;
        Ring& operator=(const Ring&) = delete;
    };
    Ring ring_;
    std::vector<char> locked_;
    std::vector<std::vector<double>> carriers_;
    int64_t blocks_ = 0;
};

// |CorrLags[lag]|^2 averaged over the blocks from..to - 1 of a store (the
// locked ones only, if asked), for the evidence against repetitions.
class StoredPowers : public CorrelationPowers {
  public:
    StoredPowers(const CorrelationStore& store, int64_t from, int64_t to, bool lockedOnly)
        : store_(store), from_(from), to_(to), lockedOnly_(lockedOnly) {}
    double Power(int32_t lag) const override;

  private:
    const CorrelationStore& store_;
    int64_t from_, to_;
    bool lockedOnly_;
};

} // namespace analysis
