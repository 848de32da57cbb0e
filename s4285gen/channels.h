// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The standard HF test channels (Watterson model): two paths of equal mean
// power, the second DelayMs after the first, each fading independently with a
// Gaussian Doppler spectrum SpreadHz wide (two-sided, 2 sigma).  Each channel has
// its own fixed seed, so that a measurement over it can be repeated.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "s4285gen/s4285gen.h"

namespace s4285gen {

enum class Watterson { Quiet, Good, Moderate, Poor, Flutter, Disturbed };

struct WattersonChannel {
    Watterson Id;
    const char* Name; // lower case, as s4285sim's --channel takes it
    double DelayMs;   // between the two paths
    double SpreadHz;  // of each path
    uint64_t Seed;
};

// Quiet (low latitude) 0.5 ms / 0.5 Hz, Good 0.5 ms / 0.1 Hz, Moderate 1 ms /
// 0.5 Hz, Poor 2 ms / 1 Hz, Flutter 0.5 ms / 10 Hz, Disturbed (high latitude)
// 7 ms / 30 Hz.
const std::array<WattersonChannel, 6>& WattersonChannels();
const WattersonChannel& ChannelOf(Watterson id);
std::optional<Watterson> WattersonByName(std::string_view name);

// The two paths, the first at firstDelayMs, both shifted by shiftHz.
std::vector<Path> WattersonPaths(Watterson id, double firstDelayMs = 2.0, double shiftHz = 0.0);

// The channel at snrDb in the NATO (9600) or AMATEUR (8000) rate, with its seed.
Config WattersonConfig(Watterson id, double snrDb, int sampleRate = 9600);

} // namespace s4285gen
