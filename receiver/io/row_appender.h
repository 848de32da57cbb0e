// SPDX-License-Identifier: GPL-3.0-or-later
// A text file that grows by whole lines: the daily CSV logs.  A row is in the
// file whole or not at all: a write the file system takes only in part (a
// full disk, a size limit, an I/O error) is cut back to the end of the last
// whole row with ftruncate, so the next row starts where a row belongs.
// Opening repairs a file left with a torn last line (a crash or a power cut
// in the middle of a write) by cutting that fragment off.  What is appended
// is made durable with fdatasync at least every SyncIntervalMs while rows
// come, and on Close: a power cut loses at most that much.
//
// One writer per file (the receiver's instance lock sees to that).  To log
// another daily table, give each file its own appender:
//   io::RowAppender table;
//   if (!table.Open(path, header, error)) ...;   // header only goes into a new file
//   if (!table.Append(row, error)) ...;          // row without its line end
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace io {

class RowAppender {
  public:
    // Milliseconds of a clock that never steps (the sync interval's).
    using MonotonicMs = std::function<int64_t()>;
    static constexpr int64_t DefaultSyncIntervalMs = 10000;

    explicit RowAppender(int64_t syncIntervalMs = DefaultSyncIntervalMs,
                         MonotonicMs clock = nullptr);
    ~RowAppender(); // Close()
    RowAppender(const RowAppender&) = delete;
    RowAppender& operator=(const RowAppender&) = delete;

    // Opens `path` for appending, creating it.  A new or empty file gets
    // `header` (a line without its end; none when empty) first, and so does
    // a file whose first line is another header.  False with
    // the system's reason in `error` when the file cannot be opened or
    // repaired, or the header cannot be written.
    bool Open(const std::string& path, const std::string& header, std::string& error);
    // Appends `row` and a line end.  False, with the reason, when it could
    // not be written whole; the file then ends where it did before.
    bool Append(const std::string& row, std::string& error);
    // fdatasync when the last one is SyncIntervalMs old and rows came since
    // (Append calls it; call it from a timer where rows may stop coming).
    void SyncIfDue();
    // Syncs what was appended and closes the file.
    void Close();

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // The bytes of a torn last line the last Open cut off (0: none).
    int64_t RepairedBytes() const { return repairedBytes_; }
    // fdatasync calls so far (for the tests).
    int64_t Syncs() const { return syncs_; }

  private:
    bool WriteWhole(const std::string& line, std::string& error);
    void Sync();

    int64_t syncIntervalMs_;
    MonotonicMs clock_;
    int fd_ = -1;
    std::string path_;
    int64_t size_ = 0; // the end of the last whole row
    int64_t lastSyncMs_ = 0;
    bool unsynced_ = false;
    int64_t repairedBytes_ = 0;
    int64_t syncs_ = 0;
};

} // namespace io
