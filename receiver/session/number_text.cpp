// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace session {

std::string GeneralNumber(long double value, int digits) {
    if (value == 0.0L || !std::isfinite(value)) {
        if (std::isnan(value)) return "0";
        if (std::isinf(value)) return value < 0 ? "-1E+4932" : "1E+4932";
        return "0";
    }
    // Round to `digits` significant digits: d.ddd...e+XX, locale independent.
    char buf[96];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                   std::chars_format::scientific, digits - 1);
    const std::string sci(buf, res.ptr);
    const auto ePos = sci.find('e');
    std::string mantissa;
    for (char c : sci.substr(0, ePos))
        if (c != '.') mantissa += c;
    const int exp10 = std::stoi(sci.substr(ePos + 1));
    while (mantissa.size() > 1 && mantissa.back() == '0')
        mantissa.pop_back();

    const int k = static_cast<int>(mantissa.size());
    const int e = exp10 - (k - 1); // value = mantissa x 10^e
    std::string out = value < 0 ? "-" : "";
    if (e >= 0 && k + e <= digits) {
        out += mantissa + std::string(static_cast<size_t>(e), '0');
    } else if (e < 0 && -e <= digits) {
        const int intDigits = k + e;
        if (intDigits > 0) {
            out += mantissa.substr(0, static_cast<size_t>(intDigits)) + "." +
                   mantissa.substr(static_cast<size_t>(intDigits));
        } else {
            out += "." + std::string(static_cast<size_t>(-intDigits), '0') + mantissa;
        }
    } else {
        out += mantissa.substr(0, 1);
        if (k > 1) out += "." + mantissa.substr(1);
        const int shown = k + e - 1;
        out += shown < 0 ? "E-" : "E+";
        out += std::to_string(std::abs(shown));
    }
    return out;
}

std::string PromptNumber(long double value, int digits) {
    const std::string text = GeneralNumber(value, digits);
    return text[0] == '-' ? text : " " + text;
}

long double LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const auto isDigit = [&](size_t at) {
        return at < text.size() && text[at] >= '0' && text[at] <= '9';
    };
    std::string number;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        if (text[i] == '-') number += '-';
        ++i;
    }
    bool anyDigit = false;
    while (isDigit(i)) {
        number += text[i++];
        anyDigit = true;
    }
    if (i < text.size() && text[i] == '.') {
        number += text[i++];
        while (isDigit(i)) {
            number += text[i++];
            anyDigit = true;
        }
    }
    if (!anyDigit) return 0.0L;
    // An exponent counts only when it has digits ("1e" is 1, "1e5x" is 100000).
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == '-' || text[j] == '+')) {
            if (text[j] == '-') exponent += '-';
            ++j;
        }
        if (isDigit(j)) {
            while (isDigit(j))
                exponent += text[j++];
            number += exponent;
        }
    }
    long double value = 0.0L;
    const auto res = std::from_chars(number.data(), number.data() + number.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
        // Too large or too small for the type: the nearest representable end.
        const bool negative = number[0] == '-';
        const auto ePos = number.find('e');
        const bool hugeExponent = ePos != std::string::npos && number[ePos + 1] != '-';
        value = hugeExponent ? HUGE_VALL : 0.0L;
        if (negative) value = -value;
    }
    return value;
}

long double ClampToFinite(long double value) {
    if (std::isnan(value)) return 0.0L;
    constexpr long double most = std::numeric_limits<long double>::max();
    return std::clamp(value, -most, most);
}

float ClampToFloat(long double value) {
    if (std::isnan(value)) return 0.0f;
    constexpr long double most = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(value, -most, most));
}

int ClampToInt(long double value) {
    if (std::isnan(value)) return 0;
    const long double lo = std::numeric_limits<int>::min();
    const long double hi = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(value, lo, hi));
}

std::string FixedNumber(double value, int decimals) {
    if (std::isnan(value)) value = 0.0;
    value = std::clamp(value, std::numeric_limits<double>::lowest(),
                       std::numeric_limits<double>::max());
    // %f honours LC_NUMERIC; build the text from an integer count of the
    // last decimal instead so the point never turns into a comma.  Halves
    // round away from zero, as a display format does.
    const double scale = std::pow(10.0, decimals);
    const double scaled = std::round(value * scale);
    if (!std::isfinite(scaled) || std::fabs(scaled) > 9e17) {
        // So large that the value is a whole number: all its digits, then the
        // zero decimals.
        char buf[400];
        const auto res =
            std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
        return std::string(buf, res.ptr);
    }
    long long units = static_cast<long long>(scaled);
    const bool negative = units < 0;
    if (negative) units = -units;
    const long long divisor = static_cast<long long>(scale);
    std::string out = negative ? "-" : "";
    out += std::to_string(units / divisor);
    if (decimals > 0) {
        std::string frac = std::to_string(units % divisor);
        out += "." + std::string(static_cast<size_t>(decimals) - frac.size(), '0') + frac;
    }
    return out;
}

} // namespace session
