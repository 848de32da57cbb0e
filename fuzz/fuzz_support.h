// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the fuzz targets: input bytes as a file that the code
// under test opens by name, and a failure that libFuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The bytes in an anonymous in-memory file, reachable as /proc/self/fd/N for
// code that takes a path.  Nothing touches the disk.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& Path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// A broken promise of the code under test: print it and abort, so libFuzzer
// keeps the input that shows it.
[[noreturn]] inline void Violated(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

inline void Check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) Violated(what, detail);
}

// Qt's offscreen platform with a QGuiApplication that lives for the whole run
// (picture plugins, QPainter and fonts want one).
void StartGuiApplication();

} // namespace fuzz
