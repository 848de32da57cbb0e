// SPDX-License-Identifier: GPL-3.0-or-later
// How often this process has given up its time slice so far.  A test binary
// that links yield_count.cpp stands in for the C library's sched_yield, so
// every yield of the code under test (std::this_thread::yield included) is
// counted before it is passed on to the kernel.
#pragma once

namespace dsp::testing {

long YieldsSoFar();

} // namespace dsp::testing
