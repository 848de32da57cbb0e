// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/dsp/sync_chain.h"

#include <algorithm>
#include <array>

namespace dsp {

SyncChain::SyncChain(int32_t mode, long double correction, float inputGain, int32_t firstPeriodLags)
    : correction_(correction), inputGain_(inputGain), firstPeriodLags_(firstPeriodLags) {
    Settings settings;
    ChainControls controls;
    chain_ = MakeChain(mode, controls, settings);
}

void SyncChain::Feed(const int16_t* samples, int32_t count,
                     const std::function<void(const ChainState&)>& onBlock) {
    ChainState& chain = *chain_;
    // The intake copies whole buffers of 1024 samples.
    std::array<int16_t, BlockLen> buffer{};
    count = std::clamp(count, 0, BlockLen);
    std::copy(samples, samples + count, buffer.begin());
    ResampleBlocks(chain, correction_, inputGain_, buffer.data(), int64_t(count) * 2, [&] {
        ProcessBlockForTables(chain, firstPeriodLags_);
        if (onBlock) onBlock(chain);
    });
}

} // namespace dsp
