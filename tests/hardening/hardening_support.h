// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the fault tests: a private folder per test, child programs with
// their stderr, files as bytes, generated recordings.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "s4285gen/s4285gen.h"

namespace hardening {

namespace fs = std::filesystem;

struct RunResult {
    int Status = -1; // exit status, -1 when killed by a signal
    int Signal = 0;
    std::string Err;
};

// Runs `command` through the shell with stderr captured.  `prefix` goes before
// the command in the same shell (limits, traps).
inline RunResult RunProgram(const std::string& command, const fs::path& dir,
                            const std::string& prefix = {}) {
    const fs::path errFile = dir / "stderr.txt";
    const std::string line =
        prefix + (prefix.empty() ? "" : "; ") + "exec " + command + " 2>" + errFile.string();
    const int raw = std::system(("sh -c '" + line + "'").c_str());
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(errFile);
    RunResult r;
    r.Err = text.str();
    if (WIFEXITED(raw)) r.Status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) r.Signal = WTERMSIG(raw);
    return r;
}

// A shell prefix that refuses file growth beyond `bytes` (rounded down to
// 512-byte blocks, the unit of sh's ulimit -f) with EFBIG instead of killing
// the program, as a full disk refuses with ENOSPC.
inline std::string FileSizeLimit(uint64_t bytes) {
    return "trap \"\" XFSZ; ulimit -f " + std::to_string(bytes / 512);
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Names in the folder (not recursive), sorted.
inline std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// In this process: files may grow to `bytes` and no further while it lives.
class FileSizeCap {
  public:
    explicit FileSizeCap(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = old_;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

  private:
    rlimit old_{};
    void (*previous_)(int) = nullptr;
};

class TempDirTest : public ::testing::Test {
  protected:
    fs::path dir_;
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("propmon-hard-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // `seconds` of the NATO test signal as a 16-bit mono WAV.
    fs::path WriteRecording(const std::string& name, double seconds, int rate = 9600) {
        return WriteRecordingTo(dir_ / name, seconds, rate);
    }

  public:
    static fs::path WriteRecordingTo(const fs::path& path, double seconds, int rate = 9600) {
        s4285gen::Config config = rate == 8000 ? s4285gen::AmateurConfig() : s4285gen::NatoConfig();
        const auto n = size_t(seconds * rate);
        std::vector<int16_t> samples(n);
        s4285gen::Generator(config).Generate(samples.data(), n);
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        sf_write_short(file, samples.data(), sf_count_t(n));
        sf_close(file);
        return path;
    }
};

} // namespace hardening
