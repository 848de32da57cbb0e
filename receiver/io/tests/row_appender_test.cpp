// SPDX-License-Identifier: GPL-3.0-or-later
// The row appender against a file system that fills: the file size limit
// (RLIMIT_FSIZE, with SIGXFSZ ignored) stops writes part way through a row,
// as a full disk does.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>

#include "receiver/io/row_appender.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Row(int n) {
    return "2026-12-09T05:30:" + std::to_string(10 + n % 50) + ".000Z,block " + std::to_string(n) +
           ",0.25,-12.5";
}

// Lets writes of this process stop at `bytes` of file size, while alive.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

  private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

class RowAppenderFull : public ::testing::TestWithParam<int> {};

// The limit falls inside a row, on a row's end, inside the header.
TEST_P(RowAppenderFull, LeavesOnlyWholeRowsAndGoesOnWhenThereIsRoomAgain) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("propmon-2026-12-09.csv")).toStdString();
    const std::string header = "utc,block,value,level";
    int written = 0;
    {
        FileSizeLimit full(static_cast<rlim_t>(GetParam()));
        io::RowAppender log;
        std::string error;
        if (log.Open(path, header, error)) {
            for (int n = 0; n < 200; ++n) {
                if (!log.Append(Row(n), error)) break;
                ++written;
            }
        }
        EXPECT_EQ(error, "File too large");
        EXPECT_LE(Slurp(path).size(), static_cast<size_t>(GetParam()));
        // Nothing more goes in while it is full, and nothing is torn.
        EXPECT_FALSE(log.Append(Row(1000), error));
    }
    std::string expected = Slurp(path).empty() ? "" : header + "\n";
    for (int n = 0; n < written; ++n)
        expected += Row(n) + "\n";
    EXPECT_EQ(Slurp(path), expected);

    // Room again (a restart, or the same run): rows go on from the last whole one.
    io::RowAppender log;
    std::string error;
    ASSERT_TRUE(log.Open(path, header, error)) << error;
    EXPECT_EQ(log.RepairedBytes(), 0);
    ASSERT_TRUE(log.Append(Row(500), error));
    log.Close();
    EXPECT_EQ(Slurp(path), (expected.empty() ? header + "\n" : expected) + Row(500) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Limits, RowAppenderFull, ::testing::Values(10, 22, 150, 4000));

TEST(RowAppender, OpeningCutsATornLastRowOff) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("log.csv")).toStdString();
    const std::string whole = "utc,block\n" + Row(1) + "\n" + Row(2) + "\n";
    struct Case {
        std::string Before, After;
        int64_t Cut;
    };
    const Case cases[] = {
        {whole + "2026-12-09T05:30:34", whole, 19},        // a row cut short
        {whole, whole, 0},                                 // nothing to mend
        {"utc,blo", "utc,block\n", 7},                     // the header itself torn
        {std::string(100000, 'x'), "utc,block\n", 100000}, // no line end at all
        {whole + std::string(70000, 'y'), whole, 70000},   // longer than one read
    };
    for (const auto& [before, after, cut] : cases) {
        Put(path, before);
        io::RowAppender log;
        std::string error;
        ASSERT_TRUE(log.Open(path, "utc,block", error)) << error;
        EXPECT_EQ(log.RepairedBytes(), cut);
        log.Close();
        EXPECT_EQ(Slurp(path), after) << before.substr(0, 40);
    }
}

TEST(RowAppender, MakesRowsDurableAtLeastEveryIntervalWhileTheyCome) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("log.csv")).toStdString();
    int64_t nowMs = 0;
    io::RowAppender log(10000, [&] { return nowMs; });
    std::string error;
    ASSERT_TRUE(log.Open(path, "utc,block", error));
    int64_t lastSyncs = 0, lastSyncMs = 0;
    // A row every 107 ms for a minute.
    for (int n = 0; n < 561; ++n, nowMs += 107) {
        ASSERT_TRUE(log.Append(Row(n), error));
        if (log.Syncs() != lastSyncs) {
            lastSyncs = log.Syncs();
            lastSyncMs = nowMs;
        }
        EXPECT_LE(nowMs - lastSyncMs, 10000) << n;
    }
    EXPECT_EQ(log.Syncs(), 5);
    log.Close();
    EXPECT_EQ(log.Syncs(), 6); // the rows since the last one
}

} // namespace
