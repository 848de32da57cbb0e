// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/correlation_store.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include <sys/mman.h>

namespace analysis {

namespace {

constexpr size_t LargePage = size_t(2) << 20;

} // namespace

CorrelationStore::Ring::Ring() {
    const size_t wanted = size_t(Capacity) * size_t(KeptLags) * sizeof(dsp::ComplexSample);
    // A whole number of large pages, from a large page's boundary on.
    const size_t rounded = (wanted + LargePage - 1) / LargePage * LargePage;
    Bytes = rounded + LargePage;
    Mapping = ::mmap(nullptr, Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapping == MAP_FAILED) {
        Mapping = nullptr;
        throw std::bad_alloc();
    }
    const auto at = reinterpret_cast<uintptr_t>(Mapping);
    const uintptr_t aligned = (at + LargePage - 1) / LargePage * LargePage;
    // Only advice: without large pages the ring is made of small ones.
    ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
    Samples = reinterpret_cast<dsp::ComplexSample*>(aligned);
}

CorrelationStore::Ring::~Ring() {
    if (Mapping) ::munmap(Mapping, Bytes);
}

CorrelationStore::CorrelationStore() : locked_(size_t(Capacity), 0), carriers_(size_t(Capacity)) {}

void CorrelationStore::Reset() {
    blocks_ = 0;
}

void CorrelationStore::Add(const dsp::CorrLagArray& corr) {
    const auto slot = size_t(blocks_ % Capacity);
    std::copy_n(corr.begin(), KeptLags, ring_.Samples + slot * size_t(KeptLags));
    locked_[slot] = 0;
    carriers_[slot].clear();
    ++blocks_;
}

void CorrelationStore::Describe(bool locked, const std::vector<double>& carriersHz) {
    if (blocks_ == 0) return;
    const auto slot = size_t((blocks_ - 1) % Capacity);
    locked_[slot] = locked ? 1 : 0;
    carriers_[slot].assign(carriersHz.begin(),
                           carriersHz.begin() +
                               std::ptrdiff_t(std::min(carriersHz.size(), MaxCarriers)));
}

double StoredPowers::Power(int32_t lag) const {
    double sum = 0.0;
    int64_t count = 0;
    for (int64_t b = std::max(from_, store_.Oldest()); b < to_; ++b) {
        if (lockedOnly_ && !store_.Locked(b)) continue;
        const dsp::ComplexSample c = store_.Block(b)[lag];
        sum += double(c.Re) * c.Re + double(c.Im) * c.Im;
        ++count;
    }
    return count > 0 ? sum / double(count) : 0.0;
}

} // namespace analysis
