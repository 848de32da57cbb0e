// SPDX-License-Identifier: GPL-3.0-or-later
// An archive's recordings: found below a folder as a user's archive lies
// there, named so that no two outputs clash on any file system, and the
// summary's cells and durations as a spreadsheet and a person read them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "receiver/runners/archive_recordings.h"

namespace runners {
namespace {

namespace fs = std::filesystem;

std::vector<Recording> Named(const std::vector<std::string>& relatives) {
    std::vector<Recording> recordings;
    for (const std::string& relative : relatives) {
        Recording r;
        r.Relative = relative;
        recordings.push_back(r);
    }
    NameOutputs(recordings);
    return recordings;
}

TEST(ArchiveRecordings, NamesTellClashingRecordingsApartWhateverTheirCase) {
    const std::vector<Recording> named = Named({"2026/may/a.wav", "2026/june/a.wav", "b.wav",
                                                "x/B.flac", "c.wav", "c.flac", "summary.wav"});
    std::vector<std::string> names;
    for (const Recording& r : named)
        names.push_back(r.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"may_a", "june_a", "b.wav", "x_B", "c.wav", "c.flac",
                                               "summary-2"}));
    // The same recordings always get the same names.
    EXPECT_EQ(Named({"2026/may/a.wav", "2026/june/a.wav"})[1].Name, "june_a");
}

TEST(ArchiveRecordings, FindsRecordingsSortedPassingHiddenOnesAndLinkedFolders) {
    const fs::path root =
        fs::temp_directory_path() / ("archive_find_" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (const char* file :
         {"b/2.WAV", "b/1.flac", "a.wav", "._a.wav", ".hidden/x.wav", "notes.txt", "b/c/3.wav"}) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << "x";
    }
    fs::create_directory_symlink(root / "b", root / "link");
    std::vector<Recording> found;
    size_t failed = 0;
    FindBelow(root, found, failed);
    std::vector<std::string> relatives;
    for (const Recording& r : found)
        relatives.push_back(r.Relative.string());
    EXPECT_EQ(relatives, (std::vector<std::string>{"a.wav", "b/1.flac", "b/2.WAV", "b/c/3.wav"}));
    EXPECT_EQ(failed, 0u);
    fs::remove_all(root);
}

TEST(ArchiveRecordings, SummaryCellsAndDurationsReadBack) {
    EXPECT_EQ(Cell("plain"), "plain");
    EXPECT_EQ(Cell("a,b"), "\"a,b\"");
    EXPECT_EQ(Cell("say \"no\""), "\"say \"\"no\"\"\"");
    EXPECT_EQ(Cell("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(Split("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Duration(4.2), "4.2 s");
    EXPECT_EQ(Duration(42), "42 s");
    EXPECT_EQ(Duration(185), "3 min 05 s");
    EXPECT_EQ(Duration(7620), "2 h 07 min");
    EXPECT_EQ(RelativeOfFile("/data/../rec/./x.wav"), fs::path("rec/x.wav"));
}

} // namespace
} // namespace runners
