// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted device: a wave-input device driven by a test. It fails any operation
// on demand, records the samples the test hands it, counts what it was asked to do,
// and can run a nested event loop while it is closed, as some sound systems do.
#pragma once

#include "receiver/io/wave_input.h"

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace io::testing {

struct ScriptedScript {
    std::map<WaveOp, WaveResult> Failures; // operations that fail, and how
    std::map<WaveOp, int> Calls;           // operations attempted on the device
    int32_t LastOpenRate = 0;
    int32_t Opens = 0;
    bool Started = false;
    WaveSink* Sink = nullptr; // set while the device is open
    // Runs while the device's driver is destroyed (a nested event loop, say).
    std::function<void()> WhileClosing;

    // Test helpers acting on the open device (no-ops when it is closed).
    size_t Record(const std::vector<int16_t>& samples);
    void FinishCurrent();
    size_t Queued() const;
};

class ScriptedDevice : public WaveDevice {
  public:
    ScriptedDevice(QString name, std::shared_ptr<ScriptedScript> script)
        : name_(std::move(name)), script_(std::move(script)) {}
    QString Name() const override { return name_; }
    std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override;

  private:
    QString name_;
    std::shared_ptr<ScriptedScript> script_;
};

} // namespace io::testing
