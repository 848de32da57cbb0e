// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's two modes, in one table: the NATO waveform (2400 baud on an
// 1800 Hz carrier, sampled at 9600/s) and the amateur variant (2000 baud on
// 1500 Hz at 8000/s).  Both have four samples a symbol and the same carrier
// step per sample, so every stage runs the same in both; only the rate, the
// carrier and the baud rate (and with them hertz and milliseconds) differ.
#pragma once

#include <cstdint>

namespace dsp {

inline constexpr int32_t ModeNato = 1; // as the settings file stores it
inline constexpr int32_t ModeAmateur = -1;

struct ModeInfo {
    int32_t Mode;
    const char* Name; // "NATO", "AMATEUR": as the status line and the tables say it
    int32_t SampleRate;
    int32_t CarrierHz;
    int32_t BaudRate;
};

inline constexpr ModeInfo NatoMode{ModeNato, "NATO", 9600, 1800, 2400};
inline constexpr ModeInfo AmateurMode{ModeAmateur, "AMATEUR", 8000, 1500, 2000};

// Any value but ModeAmateur is NATO, as a settings file is read.
constexpr const ModeInfo& ModeInfoOf(int32_t mode) {
    return mode == ModeAmateur ? AmateurMode : NatoMode;
}

// The mode a sample rate implies: 8000 -> AMATEUR, anything else NATO.
constexpr int32_t ModeForRate(int rate) {
    return rate == AmateurMode.SampleRate ? ModeAmateur : ModeNato;
}

} // namespace dsp
