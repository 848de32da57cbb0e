// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a network stream's driver: a rate converter from the stream's rate
// to the receiver's, then the socket bound.  Shared by the UDP and RTP inputs.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "receiver/io/rate_converter.h"
#include "receiver/io/wave_input.h"

namespace io {

template <class Driver, class Shared>
std::unique_ptr<WaveDriver> OpenSocketDriver(const std::shared_ptr<Shared>& shared,
                                             int32_t sampleRate, WaveSink& sink,
                                             WaveResult& result) {
    std::string error;
    auto converter = RateConverter::Create(shared->Rate, sampleRate, error);
    if (!converter) {
        result = WaveBadFormat;
        return nullptr;
    }
    auto driver = std::make_unique<Driver>(shared, sink, std::move(converter), sampleRate);
    if (!driver->Bind()) {
        result = WaveAllocated;
        return nullptr;
    }
    result = WaveOk;
    return driver;
}

} // namespace io
