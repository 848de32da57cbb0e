// SPDX-License-Identifier: GPL-3.0-or-later
// Sound-card inputs through a PulseAudio server (or PipeWire's pulse server), with
// libpulse: a threaded main loop and one record stream per open device.
//
// Every source is listed by its description, monitors included ("Monitor of SDR
// Audio"), after a first entry that leaves the choice to the server. The client and
// its stream carry propmon's name, id, icon and a media role, so the server's stream
// restore puts the stream of that first entry back on the source the user routed it
// to last time (with pavucontrol, pactl move-source-output, ...). A source chosen by
// name is kept: when it goes away the stream fails instead of moving elsewhere.
//
// Threads: libpulse calls back on its own thread; the samples it hands over wait in
// a small queue and go into the wave sink on the main thread, through a posted
// event, so buffer-done notices keep coming through the main thread's event queue.
// Fragments of one capture buffer (1024 samples) keep the timing of the buffer
// cycle: about one delivery per buffer.
#pragma once

#include "receiver/io/sound_card.h"

#include <memory>

namespace io {

class WaveInput;

// The texts of the failures the sound server causes are registered with `wave`.
std::unique_ptr<SoundSystem> MakePulseSystem(WaveInput& wave);

// The name of the first entry, the server's choice of source.
QString PulseDefaultEntryName();

} // namespace io
