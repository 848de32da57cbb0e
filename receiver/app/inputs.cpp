// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/app/inputs.h"

#include <memory>

#include "receiver/capture/paced_devices.h"

namespace propmon {

int32_t ConfigureInputs(cap::WaveInput& wave, const ReceiverOptions& options, int32_t fallback) {
    int32_t chosen = fallback;
    if (options.simulate) chosen = wave.AddDevice(std::make_unique<cap::TestSignalDevice>());
    if (!options.replay.isEmpty())
        chosen =
            wave.AddDevice(std::make_unique<cap::RecordingDevice>(options.replay, options.channel));
    return chosen;
}

} // namespace propmon
