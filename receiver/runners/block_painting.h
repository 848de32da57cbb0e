// SPDX-License-Identifier: GPL-3.0-or-later
// The painters of a batch run with an output folder: every display painted as
// in the window, the three grams auto-saved, the five panels written at the
// end.  A program that paints registers them once before any run.
#pragma once

namespace runners {

void UsePainters();

} // namespace runners
