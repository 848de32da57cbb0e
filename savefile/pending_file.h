// SPDX-License-Identifier: GPL-3.0-or-later
// A whole file written safely.  The bytes go to "<name>.part" beside the final
// name; Commit flushes them, makes them durable (fsync) and renames the file
// into place.  Until then a file of the final name stays exactly as it was, and
// a reader never sees half a file.  A PendingFile that is destroyed or discarded
// before Commit succeeded removes its temporary file, so every way out of a
// failed write leaves the folder as it found it.
//
// Errors read "cannot write <final name>: <the system's reason>" ("No space left
// on device", "File too large"): the reason of the first call that failed, never
// a later call's.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace savefile {

class PendingFile {
  public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates (or empties) the temporary file for `path`, with the mode of the
    // file it replaces, or the one a new file gets (0666 less the umask).
    bool Open(const std::filesystem::path& path, std::string& error);
    bool IsOpen() const { return fd_ >= 0; }

    // Appends bytes through a buffer of its own.  A failure is kept and told
    // by Commit; later writes are dropped.
    void Write(std::string_view bytes);
    void WriteLine(std::string_view line);

    // The temporary file's descriptor for a writer of its own (libsndfile, a
    // QFile over it); what Write buffered is written out first.  The writer must
    // not close it.  -1 when not open.
    int Descriptor();

    // Flushes, syncs, closes and renames into place.  On failure the temporary
    // file is removed, the final name untouched, and `error` tells why.
    bool Commit(std::string& error);
    // As Commit, but to `name` and only where no file of that name exists:
    // false with `taken` set when one does, the temporary file kept for
    // another name; false with `error` (temporary removed) on any other failure.
    bool CommitNew(const std::filesystem::path& name, bool& taken, std::string& error);
    // Closes and removes the temporary file now, as destroying would.
    void Discard();

    // The system's reason of the last failure alone ("No space left on device").
    const std::string& Reason() const { return reason_; }
    const std::filesystem::path& Path() const { return path_; }
    const std::filesystem::path& TemporaryPath() const { return temporary_; }

  private:
    void Flush();
    bool Fail(int reason, std::string& error);
    // Written out, synced and closed, once; false with `error` on a failure.
    bool Seal(std::string& error);

    std::filesystem::path path_;
    std::filesystem::path temporary_;
    int fd_ = -1;
    std::string buffer_;
    int firstError_ = 0;
    std::string reason_;
};

// The whole of `bytes` as the file `path`, through a PendingFile.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes, std::string& error);

} // namespace savefile
