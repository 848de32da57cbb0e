// SPDX-License-Identifier: GPL-3.0-or-later
// Sound-card inputs of the wave-input layer. A sound system lists the inputs it
// offers and opens one of them; two are built in: PulseAudio (native, through
// libpulse, which PipeWire's pulse server answers as well) and Qt Multimedia, the
// fallback where no sound server runs.
#pragma once

#include "receiver/io/wave_input.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace io {

class SoundSystem {
  public:
    virtual ~SoundSystem() = default;
    // The inputs now: display names and the ids to open them by. False when the
    // sound system does not answer (the lists are then empty).
    virtual bool List(std::vector<QString>& names, std::vector<QByteArray>& ids) = 0;
    // Opens the input with this id (empty: the system's default input) for 16-bit
    // mono PCM at sampleRate. Samples arrive through the main thread's event loop.
    virtual std::unique_ptr<WaveDriver> Open(const QByteArray& id, int32_t sampleRate,
                                             WaveSink& sink, WaveResult& result) = 0;
    // "PulseAudio", "Qt Multimedia": for the status line and the logs.
    virtual QString Label() const = 0;
};

std::unique_ptr<SoundSystem> MakeQtMultimediaSystem();

} // namespace io
