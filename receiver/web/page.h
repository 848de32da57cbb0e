// SPDX-License-Identifier: GPL-3.0-or-later
// The web view's page: the five panels laid out as in the receiver's window
// (same sizes and places, the thin sunken border round the correlation,
// scattergram and tune panels, the scales and captions), the last block's
// numbers, the plots of the live log and links to the served folders.  A small
// script polls /state.json every second and swaps pictures and numbers; the
// page loads nothing from anywhere else.
#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <vector>

#include "receiver/web/latest_state.h"

namespace web {

// The state as /state.json gives it to the page's script.
QJsonObject StateJson(const Snapshot& snapshot);

// The page, filled with the state at the time it is asked for, so it shows
// the receiver even where scripts do not run.
QByteArray PageHtml(const Snapshot& snapshot, const std::vector<ServedFolder>& folders);
QByteArray PageScript();
QByteArray PageStyle();

} // namespace web
