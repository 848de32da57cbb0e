// SPDX-License-Identifier: GPL-3.0-or-later
// What a station leaves in its folder across crashes and restarts: the block
// log after a torn last line, and the one-receiver-per-folder lock of a
// receiver that has run for hours.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

#include "receiver/session/block_log.h"
#include "receiver/session/events.h"
#include "receiver/session/instance_lock.h"

namespace {

std::string ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

TEST(BlockLogRestart, ARowAfterATornLastLineStartsALineOfItsOwn) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const int64_t wallMs =
        QDateTime::fromString("2026-12-09T05:30:35Z", Qt::ISODate).toMSecsSinceEpoch();
    session::ProblemReporter problems;
    analysis::BlockRow row;
    row.PeakLag = 22;
    std::string before;
    {
        session::BlockLog log(dir.path(), problems);
        log.Write(row, wallMs);
        before = ReadAll(log.FileOf(QDate(2026, 12, 9)));
    }
    const QString path = session::BlockLog(dir.path(), problems).FileOf(QDate(2026, 12, 9));
    {
        // A full disk or a power cut in the middle of a row.
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("2026-12-09T05:30:34");
    }
    session::BlockLog log(dir.path(), problems);
    log.Write(row, wallMs + 1000);
    const std::string after = ReadAll(path);
    ASSERT_EQ(after.back(), '\n');
    const size_t lastStart = after.rfind('\n', after.size() - 2) + 1;
    const std::string last = after.substr(lastStart);
    EXPECT_EQ(last.rfind(session::UtcStamp(wallMs + 1000), 0), 0u) << after;
    EXPECT_EQ(last.find("2026-12-09T05:30:34"), std::string::npos) << "glued onto the fragment";
    EXPECT_EQ(after.rfind(before, 0), 0u) << "rows before the tear are kept";
}

TEST(InstanceLock, AReceiverThatHasRunForHoursStillHoldsItsFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    session::InstanceLock first(dir.path());
    QString message;
    ASSERT_EQ(first.Take(message), session::InstanceLock::Outcome::Held);
    // The lock file as it looks after the receiver has run for a day.
    QFile lockFile(QDir(dir.path()).filePath(QString::fromLatin1(session::LockFileName)));
    ASSERT_TRUE(lockFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lockFile.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-86400),
                                     QFileDevice::FileModificationTime));
    lockFile.close();
    session::InstanceLock second(dir.path());
    EXPECT_EQ(second.Take(message), session::InstanceLock::Outcome::HeldElsewhere);
    EXPECT_TRUE(message.contains("one receiver per folder")) << message.toStdString();
}

} // namespace
