// SPDX-License-Identifier: GPL-3.0-or-later
#include "savefile/pending_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace savefile {

namespace {

// Rows are small; write them out in pieces of this size.
constexpr size_t BufferBytes = 1 << 16;

// Writes all of `size` bytes; the errno of the failure, or 0.
int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        // A write that takes nothing has met a full device.
        if (n == 0) return ENOSPC;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

PendingFile::~PendingFile() {
    Discard();
}

bool PendingFile::Open(const std::filesystem::path& path, std::string& error) {
    Discard();
    path_ = path;
    temporary_ = path;
    temporary_ += ".part";
    firstError_ = 0;
    buffer_.clear();
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        reason_ = std::strerror(errno);
        error = "cannot write " + path_.string() + ": " + reason_;
        temporary_.clear();
        return false;
    }
    // A file replaced keeps its permissions (a private settings file stays
    // private).
    struct stat old {};
    if (::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd_, old.st_mode & 07777);
    return true;
}

void PendingFile::Write(std::string_view bytes) {
    if (fd_ < 0 || firstError_ != 0) return;
    buffer_.append(bytes);
    if (buffer_.size() >= BufferBytes) Flush();
}

void PendingFile::WriteLine(std::string_view line) {
    Write(line);
    Write("\n");
}

int PendingFile::Descriptor() {
    Flush();
    return fd_;
}

void PendingFile::Flush() {
    if (fd_ >= 0 && firstError_ == 0 && !buffer_.empty())
        firstError_ = WriteAll(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
}

bool PendingFile::Fail(int reason, std::string& error) {
    reason_ = std::strerror(reason);
    error = "cannot write " + path_.string() + ": " + reason_;
    Discard();
    return false;
}

bool PendingFile::Seal(std::string& error) {
    if (fd_ < 0 && !temporary_.empty()) return true; // sealed before
    if (fd_ < 0) return Fail(EBADF, error);
    Flush();
    if (firstError_ != 0) return Fail(firstError_, error);
    // Durable before the rename: a power cut must not leave an empty file
    // under the final name.
    if (::fsync(fd_) != 0) return Fail(errno, error);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Fail(errno, error);
    return true;
}

bool PendingFile::Commit(std::string& error) {
    if (!Seal(error)) return false;
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return Fail(errno, error);
    temporary_.clear();
    return true;
}

bool PendingFile::CommitNew(const std::filesystem::path& name, bool& taken, std::string& error) {
    taken = false;
    if (!Seal(error)) return false;
    int moved = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        // A file system without the no-replace rename.
        std::error_code ignored;
        if (std::filesystem::exists(name, ignored)) {
            taken = true;
            return false;
        }
        moved = ::rename(temporary_.c_str(), name.c_str());
    }
    if (moved != 0 && errno == EEXIST) {
        taken = true;
        return false;
    }
    if (moved != 0) return Fail(errno, error);
    temporary_.clear();
    return true;
}

void PendingFile::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes, std::string& error) {
    PendingFile file;
    if (!file.Open(path, error)) return false;
    file.Write(bytes);
    return file.Commit(error);
}

} // namespace savefile
