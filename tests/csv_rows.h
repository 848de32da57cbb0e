// SPDX-License-Identifier: GPL-3.0-or-later
// The rows of a small CSV file (propmon's per-block table), cell by cell.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
