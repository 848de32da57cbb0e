// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/app/inputs.h"

#include <memory>

#include <unistd.h>

#include "receiver/capture/paced_devices.h"

namespace propmon {

int32_t ConfigureInputs(cap::WaveInput& wave, const ReceiverOptions& options, int32_t fallback,
                        const cap::StreamReports& reports) {
    int32_t chosen = fallback;
    if (options.simulate) chosen = wave.AddDevice(std::make_unique<cap::TestSignalDevice>());
    if (!options.replay.isEmpty())
        chosen =
            wave.AddDevice(std::make_unique<cap::RecordingDevice>(options.replay, options.channel));
    const cap::StreamSpec& input = options.input;
    if (input.kind == cap::StreamSpec::Kind::Udp)
        chosen = wave.AddDevice(
            std::make_unique<cap::UdpStreamDevice>(input.address, input.port, input.rate, reports));
    if (input.kind == cap::StreamSpec::Kind::Stdin)
        chosen = wave.AddDevice(std::make_unique<cap::PipeStreamDevice>(STDIN_FILENO, input.rate,
                                                                        input.encoding, reports));
    return chosen;
}

} // namespace propmon
