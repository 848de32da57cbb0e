// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/instance_lock.h"

#include <QDir>

namespace session {

InstanceLock::InstanceLock(const QString& folder)
    : folder_(QDir(folder).absolutePath()),
      lock_(QDir(folder).absoluteFilePath(QString::fromLatin1(LockFileName))) {
    // Never stale by age: a receiver runs for weeks.  A lock whose process is
    // gone is stale all the same.
    lock_.setStaleLockTime(0);
}

InstanceLock::Outcome InstanceLock::Take(QString& message) {
    if (lock_.tryLock(0)) return Outcome::Held;
    if (lock_.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, application;
        const QString who = lock_.getLockInfo(&pid, &host, &application)
                                ? QStringLiteral("another propmon (process %1)").arg(pid)
                                : QStringLiteral("another propmon");
        message = QStringLiteral("%1 is running in %2; one receiver per folder").arg(who, folder_);
        return Outcome::HeldElsewhere;
    }
    message =
        QStringLiteral("cannot write the lock file %1 (%2): carrying on without it")
            .arg(QDir(folder_).filePath(QString::fromLatin1(LockFileName)),
                 lock_.error() == QLockFile::PermissionError ? QStringLiteral("permission denied")
                                                             : QStringLiteral("unknown error"));
    return Outcome::Unavailable;
}

} // namespace session
