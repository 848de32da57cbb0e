// SPDX-License-Identifier: GPL-3.0-or-later
// Sound-card inputs of the wave-input layer, through Qt Multimedia.
#pragma once

#include "receiver/capture/wave_input.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace cap {

// The system's audio inputs: display names and the ids to open them by.
void ListSoundCards(std::vector<QString>& names, std::vector<QByteArray>& ids);

// Opens the input with this id (empty: the system's default input) for 16-bit mono
// PCM at sampleRate. Samples arrive on the calling thread's event loop.
std::unique_ptr<WaveDriver> OpenSoundCard(const QByteArray& id, int32_t sampleRate, WaveSink& sink,
                                          WaveResult& result);

} // namespace cap
