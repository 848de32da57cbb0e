// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's inputs as its command line asks for them, the same for the
// window and for runs without one.
#pragma once

#include <cstdint>

#include "receiver/app/command_line.h"
#include "receiver/capture/stream_devices.h"
#include "receiver/capture/wave_input.h"

namespace propmon {

// Adds the inputs the options name (the built-in test signal, a replayed
// recording, a UDP or pipe sample stream) after the sound cards and returns the
// device to open first: the one the options name, or `fallback` when they name
// none. Stream devices tell their losses, counts and end through `reports`.
int32_t ConfigureInputs(cap::WaveInput& wave, const ReceiverOptions& options, int32_t fallback,
                        const cap::StreamReports& reports = {});

} // namespace propmon
