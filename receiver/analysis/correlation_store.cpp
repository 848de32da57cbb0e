// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/correlation_store.h"

#include <algorithm>
#include <new>

namespace analysis {

CorrelationStore::CorrelationStore()
    : corr_(static_cast<dsp::ComplexSample*>(
          std::calloc(size_t(Capacity) * size_t(KeptLags), sizeof(dsp::ComplexSample)))),
      locked_(size_t(Capacity), 0), carriers_(size_t(Capacity)) {
    if (!corr_) throw std::bad_alloc();
}

void CorrelationStore::Reset() {
    blocks_ = 0;
}

void CorrelationStore::Add(const dsp::CorrLagArray& corr) {
    const auto slot = size_t(blocks_ % Capacity);
    std::copy_n(corr.begin(), KeptLags, corr_.get() + slot * size_t(KeptLags));
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
