// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file "Stanag4285.set": six numbers and a block of notes for a
// user who edits it by hand.  Read once before the window exists, written once
// when the window is destroyed.
#pragma once

#include <QString>

#include <string>
#include <string_view>

#include "receiver/dsp/chain.h"

namespace session {

inline constexpr const char* SettingsFileName = "Stanag4285.set";

// The six values from the text of a settings file (missing fields read as 0,
// then a gain of 0 or less becomes 1).
dsp::Settings ParseSettings(std::string_view text);

// The 14 lines, each ended by CR LF.
std::string FormatSettings(const dsp::Settings& settings);

// Reads `path` into `settings`; a missing or unreadable file gives the
// defaults (offsets 0, gains 1) without a message.
void ReadSettings(dsp::Settings& settings, const std::string& path = SettingsFileName);

// Writes the file through a temporary file in the same folder that is renamed
// into place, so a failed write leaves the previous file whole.  Returns false
// on failure, with the reason in `error` when given.
bool WriteSettings(const dsp::Settings& settings, const std::string& path = SettingsFileName,
                   QString* error = nullptr);

} // namespace session
