// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What reaches a receiver besides the STANAG 4285 signal and white noise: CW
// carriers, a second STANAG 4285 transmission beside ours, speech or music from
// a broadcast station, and what the recording chain does to the audio (drop-outs,
// clipping).  All levels are powers against the STANAG 4285 signal's expected
// power, so that "0 dB" means "as strong as the signal" whatever the SNR.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace s4285gen {

// A steady carrier (an unmodulated CW transmitter or a heterodyne) at Hz.
struct Tone {
    double Hz = 0;
    double LevelDb = 0;
};

// Another STANAG 4285 transmission, its carrier OffsetHz from ours, over one
// path DelayMs late (its frames keep their own timing against ours), fading with
// SpreadHz when more than 0.
struct OtherSignal {
    double OffsetHz = 600;
    double LevelDb = 0;
    double DelayMs = 37;
    double SpreadHz = 0;
};

// The input goes dead for Seconds from StartS (recorded time): silent, or held
// at the last sample's value (a stalled converter).
struct Dropout {
    double StartS = 0;
    double Seconds = 0;
    bool Held = false;
};

// Broadcast audio in the passband: syllables of voiced and unvoiced speech with
// pauses, or chords of notes with harmonics and drum strokes.
enum class AudioKind { None, SpeechLike, MusicLike };

struct Disturbances {
    bool SignalOff = false; // leave the STANAG 4285 signal out (noise and the rest only)
    std::vector<Tone> Tones;
    std::vector<OtherSignal> OtherSignals;
    AudioKind Audio = AudioKind::None;
    double AudioLevelDb = 0;
    std::vector<Dropout> Dropouts;
    // The recording clips at this level (dBFS of the sample amplitude, 0 = full
    // scale), float output too; none when empty.
    std::optional<double> ClipDbfs;

    // True when anything above is set.
    bool Any() const;
};

// Empty when the disturbances can be generated at this rate, else a one-line reason.
std::string CheckDisturbances(const Disturbances& d, int sampleRate);

} // namespace s4285gen
