// SPDX-License-Identifier: GPL-3.0-or-later
// One receiver per folder: two receivers in one folder would write over each
// other's settings, snapshots and log.  The lock is a file in the folder
// (.propmon.lock) holding the process id; the lock of a process that no longer
// runs (killed, a power cut) is taken over.
#pragma once

#include <QLockFile>
#include <QString>

namespace session {

inline constexpr const char* LockFileName = ".propmon.lock";

class InstanceLock {
  public:
    enum class Outcome {
        Held,          // this receiver has the folder
        HeldElsewhere, // another receiver runs in the folder
        Unavailable,   // no lock can be made here (a read-only folder)
    };
    explicit InstanceLock(const QString& folder = QStringLiteral("."));
    // Tries to take the lock; `message` tells the outcome in one line when it
    // is not Held.
    Outcome Take(QString& message);

  private:
    QString folder_;
    QLockFile lock_;
};

} // namespace session
