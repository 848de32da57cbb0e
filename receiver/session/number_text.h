// SPDX-License-Identifier: GPL-3.0-or-later
// Numbers as text, the way the receiver writes and reads them: the settings
// file, the default answers of the number prompts and the gain fields.  A point
// is the decimal separator whatever the user's locale.
#pragma once

#include <string>
#include <string_view>

namespace session {

// General number form with up to `digits` significant digits: ".5", "1050",
// ".000025", "1.234568E+8", "1E-8", "-3", "0".
std::string GeneralNumber(long double value, int digits);

// The same with a blank in front of values >= 0, as the prompts and the
// brightness fields show them (" 1", " .8", "-3").
std::string PromptNumber(long double value, int digits);

// The number at the start of `text` after leading blanks: sign, digits,
// decimal point and exponent.  Text that does not start with a number is 0; a
// number beyond the type's range is an infinity (see ClampToFinite).
long double LeadingNumber(std::string_view text);

// The value within the finite range of long double (an infinity becomes the
// largest finite value, with its sign; NaN is 0): what a setting read from a
// file or typed into a prompt is stored as.
long double ClampToFinite(long double value);

// The float nearest to `value` within the float range (+-FLT_MAX), so that a
// hand-edited or typed 1e50 is the largest gain and not an infinity; NaN is 0.
float ClampToFloat(long double value);

// The int nearest to `value` within the int range; NaN is 0: a slider
// position or a count from any typed or stored number.
int ClampToInt(long double value);

// Fixed-point text with `decimals` digits after the point ("0.00", "0.0"
// patterns) for any value, however large; halves round away from zero and a
// value that rounds to zero shows without a minus sign.
std::string FixedNumber(double value, int decimals);

} // namespace session
