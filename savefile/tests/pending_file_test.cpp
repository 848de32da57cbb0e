// SPDX-License-Identifier: GPL-3.0-or-later
// The safe whole-file write against real file systems that fill up: a small
// tmpfs (in a user and mount namespace of a child process) and a file size
// limit.  Whatever fails, the old file stays as it was, no temporary file is
// left and the error gives the system's reason.
#include "savefile/pending_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteProc(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// How the folder runs out of room.
enum class Limit { SmallTmpfs, FileSizeLimit };

struct Outcome {
    bool Committed = false;
    std::string Error;
    std::string OldFile;
    bool TemporaryLeft = false;
};

// In a child process: makes `dir` full at 64 KiB the chosen way, puts an old
// file there and writes 200 KiB over it, as rows or as one piece.  The
// outcome comes back through `out` as lines.
void Scenario(Limit limit, bool rows, const fs::path& dir, int out) {
    if (limit == Limit::SmallTmpfs) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
        WriteProc("/proc/self/setgroups", "deny");
        if (!WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            ::_exit(77);
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) ::_exit(77);
    }
    const fs::path file = dir / "table.csv";
    std::ofstream(file) << "old contents\n";
    if (limit == Limit::FileSizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit capped{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &capped);
    }
    std::string error;
    bool committed = false;
    const std::string row(99, 'x');
    if (rows) {
        savefile::PendingFile pending;
        if (pending.Open(file, error)) {
            for (int i = 0; i < 2048; ++i)
                pending.WriteLine(row);
            committed = pending.Commit(error);
        }
    } else {
        committed = savefile::WriteWholeFile(file, std::string(200 * 1024, 'y'), error);
    }
    std::ostringstream report;
    report << committed << '\n'
           << error << '\n'
           << fs::exists(dir / "table.csv.part") << '\n'
           << ReadAll(file);
    const std::string text = report.str();
    (void)!::write(out, text.data(), text.size());
    ::_exit(0);
}

class FullFolder : public ::testing::TestWithParam<std::tuple<Limit, bool>> {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("savefile-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_P(FullFolder, LeavesOldFileAndNoTemporaryAndTellsWhy) {
    const auto [limit, rows] = GetParam();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        Scenario(limit, rows, dir_, pipeFds[1]);
    }
    ::close(pipeFds[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no user namespaces to mount a small tmpfs in";

    std::istringstream lines(text);
    std::string committed, error, temporaryLeft, oldFile;
    std::getline(lines, committed);
    std::getline(lines, error);
    std::getline(lines, temporaryLeft);
    std::getline(lines, oldFile);
    EXPECT_EQ(committed, "0");
    const std::string reason =
        limit == Limit::SmallTmpfs ? "No space left on device" : "File too large";
    EXPECT_EQ(error, "cannot write " + (dir_ / "table.csv").string() + ": " + reason);
    EXPECT_EQ(temporaryLeft, "0");
    EXPECT_EQ(oldFile, "old contents");
}

INSTANTIATE_TEST_SUITE_P(Limits, FullFolder,
                         ::testing::Combine(::testing::Values(Limit::SmallTmpfs,
                                                              Limit::FileSizeLimit),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Limit::SmallTmpfs
                                                    ? "SmallTmpfs"
                                                    : "FileSizeLimit") +
                                    (std::get<1>(info.param) ? "Rows" : "Whole");
                         });

class PendingFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("savefile-ok-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "a.txt") << "old";
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(PendingFileTest, OldFileStaysUntilCommitThenIsReplacedWholeKeepingItsPermissions) {
    fs::permissions(dir_ / "a.txt", fs::perms::owner_read | fs::perms::owner_write);
    savefile::PendingFile file;
    std::string error;
    ASSERT_TRUE(file.Open(dir_ / "a.txt", error)) << error;
    file.WriteLine("first");
    // A writer of its own through the descriptor comes after what was buffered.
    ASSERT_EQ(::write(file.Descriptor(), "second\n", 7), 7);
    file.Write("third");
    EXPECT_EQ(ReadAll(dir_ / "a.txt"), "old");
    EXPECT_TRUE(fs::exists(dir_ / "a.txt.part"));
    ASSERT_TRUE(file.Commit(error)) << error;
    EXPECT_EQ(ReadAll(dir_ / "a.txt"), "first\nsecond\nthird");
    EXPECT_FALSE(fs::exists(dir_ / "a.txt.part"));
    EXPECT_EQ(fs::status(dir_ / "a.txt").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PendingFileTest, DroppedWithoutCommitLeavesOldFileAndNoTemporary) {
    {
        savefile::PendingFile file;
        std::string error;
        ASSERT_TRUE(file.Open(dir_ / "a.txt", error));
        file.Write(std::string(200000, 'z'));
    }
    EXPECT_EQ(ReadAll(dir_ / "a.txt"), "old");
    EXPECT_FALSE(fs::exists(dir_ / "a.txt.part"));
}

TEST_F(PendingFileTest, MissingFolderAndUnopenedFileFailWithTheReason) {
    std::string error;
    EXPECT_FALSE(savefile::WriteWholeFile(dir_ / "no" / "b.txt", "x", error));
    EXPECT_EQ(error,
              "cannot write " + (dir_ / "no" / "b.txt").string() + ": No such file or directory");
    savefile::PendingFile never;
    EXPECT_FALSE(never.Commit(error));
    EXPECT_FALSE(error.empty());
}

} // namespace
