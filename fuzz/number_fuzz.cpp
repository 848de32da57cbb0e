// SPDX-License-Identifier: GPL-3.0-or-later
// The general number form: every finite float and double written and read back.
// With enough digits (9 for a float, 17 for a double) the value comes back
// exactly; with fewer it comes back within half a unit of the last digit, and
// a text of up to 6 (float) or 15 (double) digits reads back to the same text.
// Any bytes as the answer to a number prompt read as a number, never NaN.
#include "fuzz/fuzz_support.h"
#include "receiver/session/number_text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::string Describe(long double value, int digits, const std::string& text) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.21Lg with %d digits -> ", value, digits);
    return buf + text;
}

// Only the characters of the form: one leading minus at most, digits, one point,
// an exponent E with its sign; never a locale's comma.
void CheckForm(const std::string& text) {
    fuzz::Check(!text.empty(), "empty number text");
    size_t i = text[0] == '-' ? 1 : 0;
    fuzz::Check(i < text.size(), "a lone minus", text);
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == 'E') {
            fuzz::Check(i + 2 < text.size() && (text[i + 1] == '+' || text[i + 1] == '-'),
                        "exponent without sign or digits", text);
            for (size_t j = i + 2; j < text.size(); ++j)
                fuzz::Check(text[j] >= '0' && text[j] <= '9', "exponent not a number", text);
            return;
        }
        if (c == '.') {
            fuzz::Check(!point, "two points in a number", text);
            point = true;
            continue;
        }
        fuzz::Check(c >= '0' && c <= '9', "stray character in number", text);
    }
}

template <typename T> void RoundTrip(T value, int digits, int exactDigits, int textDigits) {
    if (!std::isfinite(value)) return;
    const std::string text = session::GeneralNumber(value, digits);
    CheckForm(text);
    const long double read = session::LeadingNumber(text);
    const T back = static_cast<T>(read);
    if (digits >= exactDigits) {
        fuzz::Check(back == value || (value == 0 && back == 0), "number not read back exactly",
                    Describe(value, digits, text));
        return;
    }
    // Rounded to few digits, the largest values of the type round beyond it.
    if (std::isinf(back) && std::fabs(read) > std::numeric_limits<T>::max()) return;
    // Half a unit of the last digit, plus the rounding into T, plus a subnormal step.
    const long double v = value;
    const long double tolerance = std::fabs(v) * 0.5L * std::pow(10.0L, 1 - digits) +
                                  std::fabs(v) * std::numeric_limits<T>::epsilon() +
                                  std::numeric_limits<T>::denorm_min();
    fuzz::Check(std::fabs(static_cast<long double>(back) - v) <= tolerance,
                "number read back too far off", Describe(value, digits, text));
    if (digits <= textDigits && std::isfinite(back)) {
        const std::string again = session::GeneralNumber(back, digits);
        fuzz::Check(again == text, "number text changed on a second round",
                    Describe(value, digits, text) + " -> " + again);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const float f = in.ConsumeFloatingPoint<float>();
    const double d = in.ConsumeFloatingPoint<double>();
    const int digits = in.ConsumeIntegralInRange<int>(1, 21);
    float fraw = 0;
    double draw = 0;
    // Raw bit patterns too: subnormals, powers of two, every exponent.
    if (in.remaining_bytes() >= sizeof fraw + sizeof draw) {
        std::memcpy(&fraw, in.ConsumeBytes<uint8_t>(sizeof fraw).data(), sizeof fraw);
        std::memcpy(&draw, in.ConsumeBytes<uint8_t>(sizeof draw).data(), sizeof draw);
    }
    for (int n : {digits, 7, 9, 15, 17}) {
        RoundTrip(f, n, 9, 6);
        RoundTrip(fraw, n, 9, 6);
        RoundTrip(d, n, 17, 15);
        RoundTrip(draw, n, 17, 15);
    }
    // The prompt form is the same text with a blank before values >= 0.
    const std::string prompt = session::PromptNumber(d, 15);
    fuzz::Check(prompt.substr(prompt[0] == ' ' ? 1 : 0) == session::GeneralNumber(d, 15),
                "prompt form differs from the general form", prompt);

    const std::string text = in.ConsumeRemainingBytesAsString();
    const long double typed = session::LeadingNumber(text);
    fuzz::Check(!std::isnan(typed), "typed text read as NaN", text);
    return 0;
}
