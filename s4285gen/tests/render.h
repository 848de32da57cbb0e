// SPDX-License-Identifier: GPL-3.0-or-later
// The generator's output for `n` samples of a configuration, as float and as
// 16-bit PCM, for the tests of the generator and of the tool built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "s4285gen/s4285gen.h"

inline std::vector<float> RenderFloat(const s4285gen::Config& c, std::size_t n) {
    s4285gen::Generator g(c);
    std::vector<float> out(n);
    g.GenerateFloat(out.data(), n);
    return out;
}

inline std::vector<int16_t> RenderPcm(const s4285gen::Config& c, std::size_t n) {
    s4285gen::Generator g(c);
    std::vector<int16_t> out(n);
    g.Generate(out.data(), n);
    return out;
}
