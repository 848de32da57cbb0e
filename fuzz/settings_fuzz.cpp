// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as "Stanag4285.set": the reader never fails, the gains it gives are
// always above 0, and what the writer makes of them is 14 clean lines that read
// back to the same numbers within the digits written.
#include "fuzz/fuzz_support.h"
#include "receiver/session/settings_file.h"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace {

// |a - b| within half a unit of the last of `digits` significant digits (plus a
// rounding step of the type the value is kept in).  An infinite value is
// written as the largest power of ten the form has, 1E+4932.
bool Close(long double a, long double b, int digits, long double extraRelative = 0,
           long double extraAbsolute = 0) {
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) {
        const long double other = std::isinf(a) ? b : a;
        return std::signbit(a) == std::signbit(b) && std::fabs(other) >= 1e4931L;
    }
    const long double scale = std::fmax(std::fabs(a), std::fabs(b));
    return std::fabs(a - b) <=
           scale * (0.5L * std::pow(10.0L, 1 - digits) + extraRelative) + extraAbsolute;
}

void CheckWrittenText(const std::string& text) {
    int lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            fuzz::Check(i + 1 < text.size() && text[i + 1] == '\n', "CR without LF", text);
            ++lines;
            ++i;
            continue;
        }
        fuzz::Check(c >= 0x20 && c < 0x7F, "settings text is not plain ASCII", text);
    }
    fuzz::Check(lines == 14, "settings file is not 14 lines", text);
    fuzz::Check(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n",
                "last line without CR LF", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const dsp::Settings parsed = session::ParseSettings(bytes);

    // The file reader sees exactly the same values.
    fuzz::MemoryFile file(data, size);
    dsp::Settings read;
    read.InputGain = -5; // must be overwritten
    session::ReadSettings(read, file.Path());
    const auto same = [](long double a, long double b) {
        return a == b || (std::isnan(a) && std::isnan(b));
    };
    fuzz::Check(same(read.ClockOffset, parsed.ClockOffset) &&
                    same(read.ClockPpm, parsed.ClockPpm) && read.InputGain == parsed.InputGain &&
                    read.CorrGain == parsed.CorrGain && read.DopplerGain == parsed.DopplerGain &&
                    read.ScatterGain == parsed.ScatterGain,
                "file reader and text parser disagree");

    for (float gain : {parsed.InputGain, parsed.CorrGain, parsed.DopplerGain, parsed.ScatterGain})
        fuzz::Check(gain > 0.0f && !std::isnan(gain), "a gain read as 0 or less or NaN",
                    std::to_string(gain));
    fuzz::Check(!std::isnan(parsed.ClockOffset) && !std::isnan(parsed.ClockPpm),
                "a clock value read as NaN");

    // What the receiver would write at the end, and that file read again.
    const std::string written = session::FormatSettings(parsed);
    CheckWrittenText(written);
    const dsp::Settings again = session::ParseSettings(written);
    // Both sides are the nearest extended values to their decimals: a few units
    // in the last place beyond the half digit.
    const long double ulps = 4 * std::numeric_limits<long double>::epsilon();
    fuzz::Check(Close(parsed.ClockOffset, again.ClockOffset, 15, ulps), "ClockOffset changed",
                written);
    fuzz::Check(Close(parsed.ClockPpm, again.ClockPpm, 15, ulps), "ClockPpm changed", written);
    const float before[] = {parsed.InputGain, parsed.CorrGain, parsed.DopplerGain,
                            parsed.ScatterGain};
    const float after[] = {again.InputGain, again.CorrGain, again.DopplerGain, again.ScatterGain};
    for (int i = 0; i < 4; ++i) {
        fuzz::Check(Close(before[i], after[i], 7, 6e-8L, 1e-45L), "a gain changed", written);
    }
    return 0;
}
