// SPDX-License-Identifier: GPL-3.0-or-later
#include "s4285gen/channels.h"

namespace s4285gen {

const std::array<WattersonChannel, 6>& WattersonChannels() {
    static const std::array<WattersonChannel, 6> Channels = {{
        {Watterson::Quiet, "quiet", 0.5, 0.5, 4101},
        {Watterson::Good, "good", 0.5, 0.1, 4102},
        {Watterson::Moderate, "moderate", 1.0, 0.5, 4103},
        {Watterson::Poor, "poor", 2.0, 1.0, 4104},
        {Watterson::Flutter, "flutter", 0.5, 10.0, 4105},
        {Watterson::Disturbed, "disturbed", 7.0, 30.0, 4106},
    }};
    return Channels;
}

const WattersonChannel& ChannelOf(Watterson id) {
    return WattersonChannels()[static_cast<size_t>(id)];
}

std::optional<Watterson> WattersonByName(std::string_view name) {
    for (const WattersonChannel& c : WattersonChannels())
        if (name == c.Name) return c.Id;
    return std::nullopt;
}

std::vector<Path> WattersonPaths(Watterson id, double firstDelayMs, double shiftHz) {
    const WattersonChannel& c = ChannelOf(id);
    return {
        Path{.DelayMs = firstDelayMs, .DopplerHz = shiftHz, .SpreadHz = c.SpreadHz},
        Path{.DelayMs = firstDelayMs + c.DelayMs, .DopplerHz = shiftHz, .SpreadHz = c.SpreadHz}};
}

Config WattersonConfig(Watterson id, double snrDb, int sampleRate) {
    Config config = sampleRate == 8000 ? AmateurConfig() : NatoConfig();
    config.Paths = WattersonPaths(id);
    config.SnrDb = snrDb;
    config.Seed = ChannelOf(id).Seed;
    return config;
}

} // namespace s4285gen
