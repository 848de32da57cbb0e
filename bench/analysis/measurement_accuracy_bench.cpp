// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement stage against the generator's ground truth, on the standard
// HF channels (the six Watterson conditions at 20 and 5 dB) and the cases
// that trouble receivers: clock errors, two paths at different Dopplers,
// three equal paths, a CW carrier, a second STANAG 4285 signal, drop-outs,
// noise, speech and music without any signal.  Each case runs in process
// (generator -> ResampleBuffer / ProcessBlock -> stage) with a fixed seed;
// the tables print as markdown, one per target.
//
//   measurement_accuracy_bench [SECTION]   presence snr paths doppler spread
//                                         interference clock cost (all when none)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/analysis/measurement_cases.h"

namespace bench {
namespace {

void PresenceTable() {
    std::printf("\n### Presence and lock\n\nShare of locked blocks after the first 16 "
                "(target: >= 0.97 with a signal at 5 dB and above, <= 0.01 without).\n\n");
    std::printf("| case | 20 dB | 5 dB |\n|---|---|---|\n");
    for (const s4285gen::WattersonChannel& c : s4285gen::WattersonChannels()) {
        std::printf("| %s |", c.Name);
        for (double snr : {20.0, 5.0})
            std::printf(" %.3f |", LockedShare(RunCase(Channel(c.Id, snr))));
        std::printf("\n");
    }
    const auto threePaths = [](double snr) {
        return WithPaths({{.DelayMs = 1, .SpreadHz = 1},
                          {.DelayMs = 2.5, .SpreadHz = 1},
                          {.DelayMs = 4, .SpreadHz = 1}},
                         snr, 31);
    };
    std::printf("| three equal paths, 1 Hz spread |");
    for (double snr : {20.0, 5.0})
        std::printf(" %.3f |", LockedShare(RunCase(threePaths(snr))));
    std::printf("\n");
    std::printf("| good, clock +83 ppm (auto clock) |");
    for (double snr : {20.0, 5.0}) {
        s4285gen::Config config = Channel(s4285gen::Watterson::Good, snr);
        config.ClockPpm = 83;
        std::printf(" %.3f |", LockedShare(RunCase(config, CaseSeconds, true)));
    }
    std::printf("\n\n| input without a signal | locked share |\n|---|---|\n");
    const auto nothing = [](s4285gen::Config config, const char* name) {
        config.Extra.SignalOff = true;
        std::printf("| %s | %.3f |\n", name, LockedShare(RunCase(config, 120)));
    };
    s4285gen::Config noise = s4285gen::NatoConfig();
    noise.SnrDb = 0;
    nothing(noise, "noise only");
    s4285gen::Config tone = noise;
    tone.SnrDb = 30;
    tone.Extra.Tones = {{.Hz = 1800, .LevelDb = 0}};
    nothing(tone, "CW carrier at the carrier frequency");
    tone.Extra.Tones = {{.Hz = 1234.5, .LevelDb = 0}, {.Hz = 2100, .LevelDb = -6}};
    nothing(tone, "two CW carriers (1234.5 Hz, 2100 Hz)");
    s4285gen::Config speech = noise;
    speech.SnrDb = 30;
    speech.Extra.Audio = s4285gen::AudioKind::SpeechLike;
    nothing(speech, "speech-like audio");
    s4285gen::Config music = speech;
    music.Extra.Audio = s4285gen::AudioKind::MusicLike;
    nothing(music, "music-like audio");
}

void DropoutTable() {
    std::printf("\n### Drop-outs and clipping\n\nModerate at 20 dB with a 400 ms gap every "
                "20 s; a row is flagged when its baseband reaches into the gap.\n\n");
    std::printf("| case | rows flagged | locked share of flagged rows | locked share of the rest "
                "|\n|---|---|---|---|\n");
    for (bool held : {false, true}) {
        s4285gen::Config config = Channel(s4285gen::Watterson::Moderate, 20);
        for (double t = 10; t < CaseSeconds; t += 20)
            config.Extra.Dropouts.push_back({.StartS = t, .Seconds = 0.4, .Held = held});
        const Run run = RunCase(config);
        size_t rest = 0, restLocked = 0;
        for (size_t i = JudgedFrom; i < run.Blocks.size(); ++i)
            if (!(run.Blocks[i].Flags & analysis::FlagDropout)) {
                ++rest;
                restLocked += run.Blocks[i].Locked ? 1 : 0;
            }
        std::printf("| %s gaps | %.3f | %.3f | %.3f |\n", held ? "held" : "silent",
                    FlaggedShare(run, analysis::FlagDropout),
                    LockedShareFlagged(run, analysis::FlagDropout),
                    double(restLocked) / double(rest));
    }
    s4285gen::Config loud = Channel(s4285gen::Watterson::Moderate, 20);
    loud.LevelDbfs = -3;
    loud.Extra.ClipDbfs = -4.0;
    const Run run = RunCase(loud, 60);
    std::printf("| clipped at -4 dBFS (RMS -3 dBFS) | %.3f (clipping) | | %.3f |\n",
                FlaggedShare(run, analysis::FlagClipping), LockedShare(run));
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const std::pair<const char*, std::function<void()>> sections[] = {
        {"presence", [] { bench::PresenceTable(); }},
        {"dropouts", [] { bench::DropoutTable(); }},
        {"snr", bench::SnrTables},
        {"paths", bench::PathTables},
        {"doppler", bench::DopplerTables},
        {"interference", bench::InterferenceTable},
        {"clock", bench::ClockTable},
        {"cost", bench::CostLine},
    };
    std::printf("## Measurement accuracy (s4285 generator, fixed seeds, %.0f s a case)\n",
                bench::CaseSeconds);
    for (const auto& [name, table] : sections)
        if (only.empty() || only == name) table();
    return 0;
}
