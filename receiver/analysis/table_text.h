// SPDX-License-Identifier: GPL-3.0-or-later
// The numbers of the tables' rows, appended to a line as text.  Each gives
// the same characters as printf's "%.Nf", "%.17g" and "%lld" would (the
// value rounded exactly from its binary form; nan, -nan, inf and -0.00 as
// printf writes them), without printf's cost on every row.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

namespace analysis::table_text {

// The longest number written: a double in fixed notation needs up to 309
// digits before the point.
inline constexpr size_t MaxNumberChars = 330;

inline void AppendInteger(std::string& line, int64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    line.append(text, end);
}

// As "%.<digits>f".
inline void AppendFixed(std::string& line, double value, int digits) {
    char text[MaxNumberChars];
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits).ptr;
    line.append(text, end);
}

// As "%.17g": enough digits to read the value back exactly.
inline void AppendExact(std::string& line, double value) {
    char text[40];
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17).ptr;
    line.append(text, end);
}

// A comma and the value, or the comma alone for a cell without one.
inline void AppendCell(std::string& line, const std::optional<double>& value, int digits) {
    line += ',';
    if (value) AppendFixed(line, *value, digits);
}

} // namespace analysis::table_text
