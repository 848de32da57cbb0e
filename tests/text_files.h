// SPDX-License-Identifier: GPL-3.0-or-later
// Files and texts a propmon run wrote, read back: whole, line by line, or
// (a small CSV file such as the per-block table) cell by cell; and the test's
// own scratch folder for them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The running test's name as one folder name: a parameterised test's name
// holds a '/', which would leave an empty parent folder behind.
inline std::string TestFolderName() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return name;
}

// A folder of the running test in the temporary folder, `prefix-pid-name`.
inline std::filesystem::path ScratchFolder(const std::string& prefix) {
    return std::filesystem::temp_directory_path() /
           (prefix + "-" + std::to_string(::getpid()) + "-" + TestFolderName());
}

inline std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline std::vector<std::vector<std::string>> CsvRows(const std::filesystem::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream cellStream(line);
        std::string cell;
        while (std::getline(cellStream, cell, ','))
            cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}
