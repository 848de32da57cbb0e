// SPDX-License-Identifier: GPL-3.0-or-later
// Complex baseband (IQ) samples as SDR receivers hand them out: interleaved
// in-phase and quadrature values, unsigned 8-bit (cu8), signed 16-bit
// little-endian (cs16) or 32-bit float little-endian (cf32).  Decoded to
// complex floats at full scale +-1.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace io {

using IqSample = std::complex<float>;

enum class IqSampleType { Cu8, Cs16, Cf32 };

// "cu8", "cs16", "cf32" (also the SigMF names "ci16_le", "cf32_le").
bool ParseIqSampleType(const std::string& text, IqSampleType& type);
const char* IqSampleTypeName(IqSampleType type);
// Bytes of one complex sample.
int IqSampleBytes(IqSampleType type);

// A byte stream of raw IQ cut anywhere (pipe reads end where they end): every
// complete sample is decoded, the bytes of an incomplete one wait for the next
// call.
class RawIqDecoder {
  public:
    explicit RawIqDecoder(IqSampleType type) : type_(type) {}
    // Appends the samples `bytes` completes to `out`; returns how many.
    size_t Decode(const uint8_t* bytes, size_t count, std::vector<IqSample>& out);
    // Bytes of an incomplete sample still waiting (at the end of a stream:
    // what was cut off).
    size_t PendingBytes() const { return pendingCount_; }
    IqSampleType Type() const { return type_; }

  private:
    IqSampleType type_;
    uint8_t pending_[8] = {};
    size_t pendingCount_ = 0;
};

// One sample of each type from its bytes.
IqSample DecodeIqSample(IqSampleType type, const uint8_t* bytes);
// The bytes of one sample of `type` (cu8 and cs16 rounded and clipped).
void EncodeIqSample(IqSampleType type, IqSample sample, uint8_t* bytes);

} // namespace io
