// SPDX-License-Identifier: GPL-3.0-or-later
// Sample streams converted to the receiver's rate with libsoxr, at the quality
// recordings are converted with, and rounded to 16 bits as a sound card would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct soxr;

namespace io {

// A float sample at full scale +-1.0 as a 16-bit sample: rounded to the nearest,
// clipped; NaN (a damaged stream) is silence.
int16_t FloatToSample(float v);

// The libsoxr quality every rate conversion of the receiver uses.
soxr* CreateResampler(double inRate, double outRate, std::string& error);

class RateConverter {
  public:
    // Null with a reason in `error` when libsoxr refuses the rates.
    static std::unique_ptr<RateConverter> Create(int inRate, int outRate, std::string& error);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // Appends to `out` what `in` (n samples at the input rate) gives at the output
    // rate so far; the filter keeps a few milliseconds back until Flush.
    void Convert(const float* in, size_t n, std::vector<int16_t>& out);
    // 16-bit input: the same rate passes unchanged.
    void Convert(const int16_t* in, size_t n, std::vector<int16_t>& out);
    // Appends what the filter still holds (at the end of the stream).
    void Flush(std::vector<int16_t>& out);

  private:
    RateConverter() = default;
    void Run(const float* in, size_t n, std::vector<int16_t>& out);

    soxr* resampler_ = nullptr; // null: the rates are equal
    double ratio_ = 1.0;
    std::vector<float> floats_;
    std::vector<float> converted_;
};

} // namespace io
