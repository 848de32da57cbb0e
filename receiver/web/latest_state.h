// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-over slot between the receiver's main thread and the server
// thread: the main thread overwrites it, the server copies out of it.  Both
// hold the mutex only for copies of implicitly shared values.
#pragma once

#include <QMutex>

#include <array>
#include <cstdint>

#include "receiver/web/web_view.h"

namespace web {

struct LatestState {
    QMutex Mutex;
    PanelSet Panels;
    // Raised for a panel whenever a published picture differs from the one
    // before, so clients fetch only pictures that changed.
    std::array<uint64_t, PanelCount> PanelVersions{};
    BlockFacts Facts;
    // Every channel of a run with several receivers; "/" shows it when given.
    Overview Channels;
    // Raised by every publication: the server builds what it derives from
    // the state (the page's JSON) once per version.
    uint64_t Version = 0;
};

// What the server thread takes out of the slot for one response.
struct Snapshot {
    uint64_t Version = 0;
    PanelSet Panels;
    std::array<uint64_t, PanelCount> PanelVersions{};
    BlockFacts Facts;
    Overview Channels;
};

inline Snapshot TakeSnapshot(LatestState& latest) {
    QMutexLocker lock(&latest.Mutex);
    return {latest.Version, latest.Panels, latest.PanelVersions, latest.Facts, latest.Channels};
}

} // namespace web
