// SPDX-License-Identifier: GPL-3.0-or-later
// The numbers of the tables' rows, appended to a line as text.  Each gives
// the same characters as printf's "%.Nf", "%.17g" and "%lld" would (the
// value rounded exactly from its binary form, halves to even; nan, -nan, inf
// and -0.00 as printf writes them), without printf's cost on every row.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
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

// As "%.<digits>f".  Values below 10^12 with at most six decimals, as the
// tables' are, are worked out here: the binary value m x 2^e times
// 10^digits is an integer of at most 73 bits over 2^-e, rounded half to
// even as printf rounds; everything else goes to std::to_chars.
inline void AppendFixed(std::string& line, double value, int digits) {
    constexpr std::array<uint64_t, 7> powers = {1, 10, 100, 1000, 10000, 100000, 1000000};
    if (!(std::abs(value) < 1e12) || digits < 0 || digits > 6) {
        char text[MaxNumberChars];
        const auto end =
            std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits).ptr;
        line.append(text, end);
        return;
    }
    const auto bits = std::bit_cast<uint64_t>(value);
    const auto biased = int((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t(1) << 52) - 1);
    if (biased != 0) mantissa |= uint64_t(1) << 52;
    // Below 2^52 the exponent is negative: 1 - 1075 for subnormals.
    const int shift = 1075 - std::max(biased, 1);
    const auto scaled = static_cast<unsigned __int128>(mantissa) * powers[size_t(digits)];
    uint64_t whole = 0;
    if (shift < 128) {
        const unsigned __int128 quotient = scaled >> shift;
        const unsigned __int128 rest = scaled - (quotient << shift);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        whole = uint64_t(quotient);
        if (rest > half || (rest == half && (whole & 1) != 0)) ++whole;
    }
    if ((bits >> 63) != 0) line += '-';
    AppendInteger(line, int64_t(whole / powers[size_t(digits)]));
    if (digits == 0) return;
    char fraction[8];
    uint64_t rest = whole % powers[size_t(digits)];
    for (int i = digits - 1; i >= 0; --i) {
        fraction[i] = char('0' + rest % 10);
        rest /= 10;
    }
    line += '.';
    line.append(fraction, size_t(digits));
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
