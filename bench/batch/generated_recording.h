// SPDX-License-Identifier: GPL-3.0-or-later
// A recording of the test-signal generator written as 16-bit WAV, a second at
// a time, for the batch benchmarks to run propmon over.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "s4285gen/s4285gen.h"

namespace bench {

inline void WriteGeneratedRecording(const std::filesystem::path& path,
                                    const s4285gen::Config& config, double seconds) {
    s4285gen::Generator generator(config);
    SF_INFO info{};
    info.samplerate = config.SampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        std::exit(1);
    }
    std::vector<int16_t> chunk(size_t(config.SampleRate));
    for (auto left = int64_t(seconds * config.SampleRate); left > 0;) {
        const auto n = std::min<int64_t>(left, int64_t(chunk.size()));
        generator.Generate(chunk.data(), size_t(n));
        sf_writef_short(file, chunk.data(), n);
        left -= n;
    }
    sf_close(file);
}

} // namespace bench
