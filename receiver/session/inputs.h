// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's inputs as its command line asks for them, the same for the
// window and for runs without one.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

#include "receiver/io/stream_devices.h"
#include "receiver/io/wave_input.h"
#include "receiver/session/command_line.h"

namespace session {

// An input the options ask for that is not there, in one line.
struct InputError {
    QString Reason;
};

// Adds the inputs the options name (the built-in test signal, a replayed
// recording, a UDP or pipe sample stream) after the sound cards and returns the
// device to open first: the one the options name (--device: the first whose
// name or system name contains the text, case-insensitively; none throws
// InputError), or `fallback` when they name none.  Stream devices tell their
// losses, counts and end through `reports`.
int32_t ConfigureInputs(io::WaveInput& wave, const ReceiverOptions& options, int32_t fallback,
                        const io::StreamReports& reports = {});

// PROPMON_SOUND_SYSTEM=qt (or pulse) makes one sound system take the sound
// cards whatever answers; without it PulseAudio/PipeWire is used where a
// server runs, Qt Multimedia elsewhere.
io::SoundSystemChoice SoundSystemFromEnvironment();

// The inputs one per line, "index: name", with the system's own name in
// brackets where it has one.
QStringList DeviceList(io::WaveInput& wave);

// The index of the input named exactly `name`, or -1 (a remembered input).
int32_t DeviceNamed(io::WaveInput& wave, const QString& name);

} // namespace session
