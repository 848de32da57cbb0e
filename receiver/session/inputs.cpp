// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/inputs.h"

#include <memory>

#include <unistd.h>

#include "receiver/io/paced_devices.h"

namespace session {

int32_t ConfigureInputs(io::WaveInput& wave, const ReceiverOptions& options, int32_t fallback,
                        const io::StreamReports& reports) {
    int32_t chosen = fallback;
    if (options.Simulate) chosen = wave.AddDevice(std::make_unique<io::TestSignalDevice>());
    if (!options.Replay.isEmpty())
        chosen = wave.AddDevice(std::make_unique<io::RecordingDevice>(
            options.Replay, options.Channel, options.StartWallMs));
    const io::StreamInput& input = options.Input;
    if (input.Kind == io::StreamInput::Kind::Udp)
        chosen = wave.AddDevice(
            std::make_unique<io::UdpStreamDevice>(input.Address, input.Port, input.Rate, reports));
    if (input.Kind == io::StreamInput::Kind::Rtp)
        chosen = wave.AddDevice(std::make_unique<io::RtpStreamDevice>(
            input.Address, input.Port, input.Ssrc, input.RateGiven ? input.Rate : 0,
            options.Channel, reports));
    if (input.Kind == io::StreamInput::Kind::Stdin)
        chosen = wave.AddDevice(std::make_unique<io::PipeStreamDevice>(
            STDIN_FILENO, input.Rate, input.Encoding, reports, options.StartWallMs));
    if (!options.Device.isEmpty()) {
        const int32_t count = wave.DeviceCount();
        for (int32_t id = 0; id < count; ++id) {
            if (wave.DeviceName(id).contains(options.Device, Qt::CaseInsensitive) ||
                wave.DeviceSystemName(id).contains(options.Device, Qt::CaseInsensitive))
                return id;
        }
        throw InputError{QStringLiteral("no input matches '%1' (propmon --list-devices lists them)")
                             .arg(options.Device)};
    }
    return chosen;
}

io::SoundSystemChoice SoundSystemFromEnvironment() {
    const QByteArray choice = qgetenv("PROPMON_SOUND_SYSTEM");
    if (choice == "qt") return io::SoundSystemChoice::QtMultimedia;
    if (choice == "pulse") return io::SoundSystemChoice::PulseAudio;
    return io::SoundSystemChoice::Automatic;
}

QStringList DeviceList(io::WaveInput& wave) {
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

int32_t DeviceNamed(io::WaveInput& wave, const QString& name) {
    if (name.isEmpty()) return -1;
    const int32_t count = wave.DeviceCount();
    for (int32_t id = 0; id < count; ++id)
        if (wave.DeviceName(id) == name) return id;
    return -1;
}

} // namespace session
