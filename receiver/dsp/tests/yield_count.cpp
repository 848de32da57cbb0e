// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/dsp/tests/yield_count.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {
std::atomic<long> Yields{0};
} // namespace

extern "C" int sched_yield() noexcept {
    Yields.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(syscall(SYS_sched_yield));
}

namespace dsp::testing {

long YieldsSoFar() {
    return Yields.load(std::memory_order_relaxed);
}

} // namespace dsp::testing
