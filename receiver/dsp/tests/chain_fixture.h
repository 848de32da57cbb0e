// SPDX-License-Identifier: GPL-3.0-or-later
// Shared helpers for the block-chain tests: a chain ready to run, as the
// window's initialisation leaves it.
#pragma once

#include <vector>

#include "receiver/dsp/chain.h"

namespace dsp::testing {

struct ReadyChain {
    std::unique_ptr<ChainState> Chain;
    dsp::Settings Settings;
    ChainControls Controls;
    DisplayHooks Hooks;

    ReadyChain() { Chain = MakeChain(ModeNato, Controls, Settings); }

    // Feeds samples in full 1024-sample buffers (the last one short).
    void Feed(const std::vector<int16_t>& samples) {
        std::array<int16_t, BlockLen> buffer{};
        for (size_t pos = 0; pos < samples.size(); pos += BlockLen) {
            const size_t n = std::min<size_t>(BlockLen, samples.size() - pos);
            buffer.fill(0);
            std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(pos), n, buffer.begin());
            ResampleBuffer(*Chain, Settings, Controls, Hooks, buffer.data(),
                           static_cast<int64_t>(2 * n));
        }
    }
};

} // namespace dsp::testing
