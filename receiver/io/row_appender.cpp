// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/row_appender.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace io {

namespace {

// The file's first line, without its end (at most 4 kB of it).
std::string FirstLine(int fd) {
    char text[4096];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n <= 0) return {};
    const std::string_view read(text, size_t(n));
    return std::string(read.substr(0, read.find('\n')));
}

std::string Reason(int error) {
    return std::strerror(error);
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The length of the file up to and including its last line end (0 when it
// has none).
int64_t WholeLinesEnd(int fd, int64_t size) {
    std::vector<char> chunk(64 * 1024);
    int64_t end = size;
    while (end > 0) {
        const int64_t start =
            end > static_cast<int64_t>(chunk.size()) ? end - static_cast<int64_t>(chunk.size()) : 0;
        const ssize_t got = ::pread(fd, chunk.data(), static_cast<size_t>(end - start), start);
        if (got <= 0) return -1;
        for (int64_t i = got - 1; i >= 0; --i)
            if (chunk[static_cast<size_t>(i)] == '\n') return start + i + 1;
        end = start;
    }
    return 0;
}

// Makes a new file's name in its folder durable.
void SyncFolderOf(const std::string& path) {
    std::string copy = path;
    const int fd = ::open(::dirname(copy.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

RowAppender::RowAppender(int64_t syncIntervalMs, MonotonicMs clock)
    : syncIntervalMs_(syncIntervalMs), clock_(clock ? std::move(clock) : MonotonicMs(SteadyMs)) {}

RowAppender::~RowAppender() {
    Close();
}

bool RowAppender::Open(const std::string& path, const std::string& header, std::string& error) {
    Close();
    repairedBytes_ = 0;
    struct stat before {};
    const bool existed = ::stat(path.c_str(), &before) == 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Reason(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = Reason(errno);
        ::close(fd);
        return false;
    }
    const int64_t whole = WholeLinesEnd(fd, info.st_size);
    if (whole < 0) {
        error = Reason(errno ? errno : EIO);
        ::close(fd);
        return false;
    }
    if (whole < info.st_size) {
        // A torn last row: its fragment is no row at all.
        if (::ftruncate(fd, whole) != 0) {
            error = Reason(errno);
            ::close(fd);
            return false;
        }
        repairedBytes_ = info.st_size - whole;
    }
    fd_ = fd;
    path_ = path;
    size_ = whole;
    lastSyncMs_ = clock_();
    unsynced_ = repairedBytes_ > 0;
    if (!existed) SyncFolderOf(path);
    // A new file gets the header; so does one begun with other columns (an
    // earlier version that day): readers by column name take each header for
    // the rows after it, so no row is misread.
    if (!header.empty() && (size_ == 0 || FirstLine(fd) != header) &&
        !WriteWhole(header + '\n', error)) {
        Close();
        return false;
    }
    return true;
}

bool RowAppender::Append(const std::string& row, std::string& error) {
    if (fd_ < 0) {
        error = Reason(EBADF);
        return false;
    }
    if (!WriteWhole(row + '\n', error)) return false;
    SyncIfDue();
    return true;
}

bool RowAppender::WriteWhole(const std::string& line, std::string& error) {
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int reason = n == 0 ? ENOSPC : errno;
            error = Reason(reason);
            // Whatever part went in is taken back out.
            if (done > 0 && ::ftruncate(fd_, size_) != 0) {
                // The file cannot be mended now: opened again (and repaired)
                // for the next row.
                ::close(fd_);
                fd_ = -1;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    size_ += static_cast<int64_t>(line.size());
    unsynced_ = true;
    return true;
}

void RowAppender::SyncIfDue() {
    if (fd_ < 0 || !unsynced_) return;
    if (clock_() - lastSyncMs_ < syncIntervalMs_) return;
    Sync();
}

void RowAppender::Sync() {
    if (fd_ < 0 || !unsynced_) return;
    ::fdatasync(fd_);
    ++syncs_;
    unsynced_ = false;
    lastSyncMs_ = clock_();
}

void RowAppender::Close() {
    if (fd_ < 0) return;
    Sync();
    ::close(fd_);
    fd_ = -1;
}

} // namespace io
