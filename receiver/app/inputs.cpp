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
    if (!options.device.isEmpty()) {
        const int32_t count = wave.DeviceCount();
        for (int32_t id = 0; id < count; ++id) {
            if (wave.DeviceName(id).contains(options.device, Qt::CaseInsensitive) ||
                wave.DeviceSystemName(id).contains(options.device, Qt::CaseInsensitive))
                return id;
        }
        throw InputError{QStringLiteral("no input matches '%1' (propmon --list-devices lists them)")
                             .arg(options.device)};
    }
    return chosen;
}

cap::SoundSystemChoice SoundSystemFromEnvironment() {
    const QByteArray choice = qgetenv("PROPMON_SOUND_SYSTEM");
    if (choice == "qt") return cap::SoundSystemChoice::QtMultimedia;
    if (choice == "pulse") return cap::SoundSystemChoice::PulseAudio;
    return cap::SoundSystemChoice::Automatic;
}

QStringList DeviceList(cap::WaveInput& wave) {
    QStringList lines;
    const int32_t count = wave.DeviceCount();
    for (int32_t id = 0; id < count; ++id) {
        QString line = QStringLiteral("%1: %2").arg(id).arg(wave.DeviceName(id));
        const QString system = wave.DeviceSystemName(id);
        if (!system.isEmpty() && system != wave.DeviceName(id))
            line += QStringLiteral(" [%1]").arg(system);
        lines << line;
    }
    return lines;
}

int32_t DeviceNamed(cap::WaveInput& wave, const QString& name) {
    if (name.isEmpty()) return -1;
    const int32_t count = wave.DeviceCount();
    for (int32_t id = 0; id < count; ++id)
        if (wave.DeviceName(id) == name) return id;
    return -1;
}

} // namespace propmon
