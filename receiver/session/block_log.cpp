// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/block_log.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace session {

namespace {

const QString LogSubject = QStringLiteral("the block log");

std::tm UtcFields(int64_t wallMs) {
    // Floor division: a stamp before 1970 still names its own second.
    const int64_t seconds = wallMs >= 0 ? wallMs / 1000 : -((-wallMs + 999) / 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm fields{};
    gmtime_r(&t, &fields);
    return fields;
}

} // namespace

std::string BlockLogHeader() {
    return "utc," + analysis::BlockTableHeader();
}

std::string UtcStamp(int64_t wallMs) {
    const std::tm f = UtcFields(wallMs);
    const int64_t ms = ((wallMs % 1000) + 1000) % 1000;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", f.tm_year + 1900,
                  f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, static_cast<int>(ms));
    return text;
}

QString UnwritableReason(const QString& folder) {
    std::error_code made;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), made);
    if (made) return QString::fromLocal8Bit(made.message().c_str());
    // A file made and removed again: permissions, a read-only mount, no
    // space for a new file at all.
    const QByteArray probe = QFile::encodeName(
        QDir(folder).filePath(QStringLiteral(".propmon-probe-%1").arg(::getpid())));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    ::unlink(probe.constData());
    return {};
}

BlockLog::BlockLog(QString folder, ProblemReporter& problems)
    : folder_(std::move(folder)), problems_(problems), blocks_("propmon-", BlockLogHeader()),
      channel_("channel-", analysis::ChannelTableHeader()) {}

BlockLog::~BlockLog() = default;

QString BlockLog::PathOf(const DayFile& file, const QDate& day) const {
    return QDir(folder_).filePath(QString::fromLatin1(file.Prefix) + day.toString(Qt::ISODate) +
                                  QStringLiteral(".csv"));
}

QString BlockLog::FileOf(const QDate& day) const {
    return PathOf(blocks_, day);
}

QString BlockLog::ChannelFileOf(const QDate& day) const {
    return PathOf(channel_, day);
}

bool BlockLog::Open(DayFile& file, const QDate& day) {
    file.File.Close();
    file.Day = QDate();
    const QString path = PathOf(file, day);
    std::error_code made;
    std::filesystem::create_directories(QFile::encodeName(folder_).toStdString(), made);
    if (made) {
        problems_.Failed(LogSubject, QStringLiteral("the folder ") + folder_,
                         QString::fromLocal8Bit(made.message().c_str()));
        return false;
    }
    std::string error;
    if (!file.File.Open(QFile::encodeName(path).toStdString(), file.Header, error)) {
        problems_.Failed(LogSubject, path, QString::fromLocal8Bit(error.c_str()));
        return false;
    }
    file.Day = day;
    if (file.File.RepairedBytes() > 0)
        ReportEvent(QStringLiteral("%1 ended on a row cut short: its %2 bytes were removed")
                        .arg(path)
                        .arg(file.File.RepairedBytes()));
    if (&file == &blocks_ && file.Announced != path)
        ReportEvent(QStringLiteral("logging blocks to %1").arg(path));
    file.Announced = path;
    return true;
}

bool BlockLog::Append(DayFile& file, const std::string& line, int64_t wallMs) {
    const std::tm f = UtcFields(wallMs);
    const QDate day(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday);
    if ((!file.File.IsOpen() || day != file.Day) && !Open(file, day)) return false;
    std::string error;
    if (!file.File.Append(line, error)) {
        problems_.Failed(LogSubject, PathOf(file, day), QString::fromLocal8Bit(error.c_str()));
        return false;
    }
    problems_.Succeeded(LogSubject);
    return true;
}

bool BlockLog::Write(const analysis::BlockRow& row, int64_t wallMs) {
    return Append(blocks_, UtcStamp(wallMs) + "," + analysis::FormatBlockRow(row), wallMs);
}

bool BlockLog::WriteMinute(const analysis::ChannelRow& row, int64_t minuteMs) {
    return Append(channel_, analysis::FormatChannelRow(row), minuteMs);
}

} // namespace session
