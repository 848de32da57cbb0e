// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --headless: the receiver without a window.  The same capture cycle,
// chain, painters, auto-save and block log as the window, driven by the same
// state (ReceiverState, its hooks and block observers); it runs until SIGTERM,
// SIGINT or SIGHUP, the end of a replayed input, or a capture failure, and
// tells each event in one line on stderr.
#pragma once

#include "receiver/io/wave_input.h"
#include "receiver/session/command_line.h"
#include "receiver/session/receiver_state.h"

namespace runners {

// The first event line: version, station, folder and process.
void ReportStart(const QString& station);

// Runs the receiver on `state` (prepared, options applied) and `wave` (inputs
// configured, DeviceId chosen) inside the running QGuiApplication.  Returns
// the exit status: 0 after a signal or the end of the input, 1 after a
// capture failure (its message told first).
int RunHeadless(session::ReceiverState& state, io::WaveInput& wave);

} // namespace runners
