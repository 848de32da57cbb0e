// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/rate_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace io {

int16_t FloatToSample(float v) {
    if (std::isnan(v)) return 0;
    const float scaled = std::nearbyint(v * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

soxr* CreateResampler(double inRate, double outRate, std::string& error) {
    soxr_error_t soxrError = nullptr;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr* resampler = soxr_create(inRate, outRate, 1, &soxrError, nullptr, &quality, nullptr);
    if (!resampler) error = soxrError ? soxrError : "libsoxr failed";
    return resampler;
}

std::unique_ptr<RateConverter> RateConverter::Create(int inRate, int outRate, std::string& error) {
    std::unique_ptr<RateConverter> converter(new RateConverter);
    if (inRate <= 0 || outRate <= 0) {
        error = "sample rates must be positive";
        return nullptr;
    }
    converter->ratio_ = double(outRate) / inRate;
    if (inRate != outRate) {
        converter->resampler_ = CreateResampler(inRate, outRate, error);
        if (!converter->resampler_) return nullptr;
    }
    return converter;
}

RateConverter::~RateConverter() {
    if (resampler_) soxr_delete(resampler_);
}

void RateConverter::Run(const float* in, size_t n, std::vector<int16_t>& out) {
    size_t offset = 0;
    do {
        const size_t room = size_t(double(n - offset) * ratio_) + 1024;
        converted_.resize(room);
        size_t used = 0;
        size_t made = 0;
        soxr_process(resampler_, in ? in + offset : nullptr, in ? n - offset : 0,
                     in ? &used : nullptr, converted_.data(), room, &made);
        for (size_t i = 0; i < made; ++i)
            out.push_back(FloatToSample(converted_[i]));
        offset += used;
        if (!in && made == 0) break; // drained
        if (in && used == 0 && made == 0) break;
    } while (!in || offset < n);
}

void RateConverter::Convert(const float* in, size_t n, std::vector<int16_t>& out) {
    if (n == 0) return;
    if (!resampler_) {
        for (size_t i = 0; i < n; ++i)
            out.push_back(FloatToSample(in[i]));
        return;
    }
    Run(in, n, out);
}

void RateConverter::Convert(const int16_t* in, size_t n, std::vector<int16_t>& out) {
    if (n == 0) return;
    if (!resampler_) {
        out.insert(out.end(), in, in + n);
        return;
    }
    floats_.resize(n);
    for (size_t i = 0; i < n; ++i)
        floats_[i] = in[i] / 32768.0f;
    Run(floats_.data(), n, out);
}

void RateConverter::Flush(std::vector<int16_t>& out) {
    if (resampler_) Run(nullptr, 0, out);
}

} // namespace io
