// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/iq_samples.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace io {

namespace {

int16_t ReadLe16(const uint8_t* b) {
    return static_cast<int16_t>(uint16_t(b[0]) | uint16_t(b[1]) << 8);
}

float ReadLeFloat(const uint8_t* b) {
    const uint32_t bits =
        uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return std::bit_cast<float>(bits);
}

void WriteLe16(int16_t v, uint8_t* b) {
    const auto u = static_cast<uint16_t>(v);
    b[0] = uint8_t(u);
    b[1] = uint8_t(u >> 8);
}

void WriteLeFloat(float v, uint8_t* b) {
    const auto u = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        b[i] = uint8_t(u >> (8 * i));
}

// rtl_sdr's unsigned bytes sit around 127.5: 0 and 255 are the extremes.
constexpr float Cu8Centre = 127.5f;
constexpr float Cu8Scale = 1.0f / 128.0f;

uint8_t ToCu8(float v) {
    if (std::isnan(v)) return 128;
    return uint8_t(std::clamp(std::nearbyint(v * 128.0f + Cu8Centre), 0.0f, 255.0f));
}

int16_t ToCs16(float v) {
    if (std::isnan(v)) return 0;
    return int16_t(std::clamp(std::nearbyint(v * 32768.0f), -32768.0f, 32767.0f));
}

} // namespace

bool ParseIqSampleType(const std::string& text, IqSampleType& type) {
    if (text == "cu8")
        type = IqSampleType::Cu8;
    else if (text == "cs16" || text == "ci16_le")
        type = IqSampleType::Cs16;
    else if (text == "cf32" || text == "cf32_le")
        type = IqSampleType::Cf32;
    else
        return false;
    return true;
}

const char* IqSampleTypeName(IqSampleType type) {
    switch (type) {
    case IqSampleType::Cu8:
        return "cu8";
    case IqSampleType::Cs16:
        return "cs16";
    case IqSampleType::Cf32:
        return "cf32";
    }
    return "?";
}

int IqSampleBytes(IqSampleType type) {
    switch (type) {
    case IqSampleType::Cu8:
        return 2;
    case IqSampleType::Cs16:
        return 4;
    case IqSampleType::Cf32:
        return 8;
    }
    return 1;
}

IqSample DecodeIqSample(IqSampleType type, const uint8_t* b) {
    switch (type) {
    case IqSampleType::Cu8:
        return {(float(b[0]) - Cu8Centre) * Cu8Scale, (float(b[1]) - Cu8Centre) * Cu8Scale};
    case IqSampleType::Cs16:
        return {float(ReadLe16(b)) / 32768.0f, float(ReadLe16(b + 2)) / 32768.0f};
    case IqSampleType::Cf32:
        return {ReadLeFloat(b), ReadLeFloat(b + 4)};
    }
    return {};
}

void EncodeIqSample(IqSampleType type, IqSample sample, uint8_t* b) {
    switch (type) {
    case IqSampleType::Cu8:
        b[0] = ToCu8(sample.real());
        b[1] = ToCu8(sample.imag());
        return;
    case IqSampleType::Cs16:
        WriteLe16(ToCs16(sample.real()), b);
        WriteLe16(ToCs16(sample.imag()), b + 2);
        return;
    case IqSampleType::Cf32:
        WriteLeFloat(sample.real(), b);
        WriteLeFloat(sample.imag(), b + 4);
        return;
    }
}

size_t RawIqDecoder::Decode(const uint8_t* bytes, size_t count, std::vector<IqSample>& out) {
    const auto size = static_cast<size_t>(IqSampleBytes(type_));
    const size_t before = out.size();
    if (pendingCount_ > 0) {
        const size_t take = std::min(size - pendingCount_, count);
        std::memcpy(pending_ + pendingCount_, bytes, take);
        pendingCount_ += take;
        bytes += take;
        count -= take;
        if (pendingCount_ < size) return 0;
        out.push_back(DecodeIqSample(type_, pending_));
        pendingCount_ = 0;
    }
    // One loop per type, the type not asked again for every sample.
    const size_t whole = count / size;
    const size_t at = out.size();
    out.resize(at + whole);
    IqSample* to = out.data() + at;
    switch (type_) {
    case IqSampleType::Cu8:
        for (size_t i = 0; i < whole; ++i)
            to[i] = {(float(bytes[2 * i]) - Cu8Centre) * Cu8Scale,
                     (float(bytes[2 * i + 1]) - Cu8Centre) * Cu8Scale};
        break;
    case IqSampleType::Cs16:
        for (size_t i = 0; i < whole; ++i)
            to[i] = {float(ReadLe16(bytes + 4 * i)) / 32768.0f,
                     float(ReadLe16(bytes + 4 * i + 2)) / 32768.0f};
        break;
    case IqSampleType::Cf32:
        for (size_t i = 0; i < whole; ++i)
            to[i] = {ReadLeFloat(bytes + 8 * i), ReadLeFloat(bytes + 8 * i + 4)};
        break;
    }
    pendingCount_ = count - whole * size;
    std::memcpy(pending_, bytes + whole * size, pendingCount_);
    return out.size() - before;
}

} // namespace io
