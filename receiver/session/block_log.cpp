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
#include <string_view>
#include <sys/stat.h>
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

// Writes all of `text`; false with errno set when the file takes less.
bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file's first line, without its end (at most 4 kB of it).
std::string FirstLine(int fd) {
    char text[4096];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n <= 0) return {};
    const std::string_view read(text, size_t(n));
    return std::string(read.substr(0, read.find('\n')));
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

BlockLog::BlockLog(QString folder, ProblemReporter& problems)
    : folder_(std::move(folder)),
      problems_(problems), blocks_{"propmon-", BlockLogHeader(), -1, QDate()},
      channel_{"channel-", analysis::ChannelTableHeader(), -1, QDate()} {}

BlockLog::~BlockLog() {
    Close(blocks_);
    Close(channel_);
}

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

void BlockLog::Close(DayFile& file) {
    if (file.Fd >= 0) ::close(file.Fd);
    file.Fd = -1;
    file.Day = QDate();
}

void BlockLog::Fail(DayFile& file, const QString& what, int error) {
    Close(file);
    problems_.Failed(LogSubject, what, QString::fromLocal8Bit(std::strerror(error)));
}

bool BlockLog::Open(DayFile& file, const QDate& day) {
    Close(file);
    const QString path = PathOf(file, day);
    std::error_code made;
    std::filesystem::create_directories(QFile::encodeName(folder_).toStdString(), made);
    if (made) {
        problems_.Failed(LogSubject, QStringLiteral("the folder ") + folder_,
                         QString::fromLocal8Bit(made.message().c_str()));
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail(file, path, errno);
        return false;
    }
    struct stat info {};
    std::string start;
    if (::fstat(fd, &info) == 0 && info.st_size == 0) {
        start = file.Header + "\n";
    } else {
        // A line cut short (a crash mid-write, a full disk) is ended, so that
        // the next row starts a line of its own.
        char last = '\n';
        if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') start = "\n";
        // A file begun with other columns (an earlier version that day) gets
        // the header of the rows that follow: readers by column name take
        // each header for the rows after it, and no row is misread.
        if (FirstLine(fd) != file.Header) start += file.Header + "\n";
    }
    if (!start.empty() && !WriteAll(fd, start)) {
        const int error = errno;
        ::close(fd);
        Fail(file, path, error);
        return false;
    }
    file.Fd = fd;
    file.Day = day;
    if (&file == &blocks_) ReportEvent(QStringLiteral("logging blocks to %1").arg(path));
    return true;
}

void BlockLog::Append(DayFile& file, const std::string& line, int64_t wallMs) {
    const std::tm f = UtcFields(wallMs);
    const QDate day(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday);
    if ((file.Fd < 0 || day != file.Day) && !Open(file, day)) return;
    if (!WriteAll(file.Fd, line)) {
        Fail(file, PathOf(file, day), errno);
        return;
    }
    problems_.Succeeded(LogSubject);
}

void BlockLog::Write(const analysis::BlockRow& row, int64_t wallMs) {
    Append(blocks_, UtcStamp(wallMs) + "," + analysis::FormatBlockRow(row) + "\n", wallMs);
}

void BlockLog::WriteMinute(const analysis::ChannelRow& row, int64_t minuteMs) {
    Append(channel_, analysis::FormatChannelRow(row) + "\n", minuteMs);
}

} // namespace session
