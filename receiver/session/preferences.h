// SPDX-License-Identifier: GPL-3.0-or-later
// What the window remembers between runs besides the settings file: its mode,
// its input (by name), the three auto-save switches and the correlogram
// averaging K, in the user's configuration (~/.config/propmon/propmon.conf).
// Options given on the command line are applied after these and win.
#pragma once

#include <QString>

#include "receiver/session/receiver_state.h"

namespace session {

// The file the preferences live in.
QString PreferencesFile();

// Sets the remembered mode, auto-saves and K in `state`; returns the name of
// the remembered input (empty when none).
QString RestorePreferences(ReceiverState& state);

// Remembers the state's mode, auto-saves and K and the input `deviceName`;
// a file that cannot be written goes to state.Problems.
void SavePreferences(ReceiverState& state, const QString& deviceName);

} // namespace session
