// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/tests/scripted_device.h"

namespace io::testing {

namespace {

class ScriptedDriver : public WaveDriver {
  public:
    ScriptedDriver(std::shared_ptr<ScriptedScript> script, WaveSink& sink)
        : script_(std::move(script)), sink_(sink) {}
    ~ScriptedDriver() override {
        if (script_->WhileClosing) script_->WhileClosing();
        if (script_->Sink != &sink_) return; // a later open took over the script
        script_->Sink = nullptr;
        script_->Started = false;
    }
    WaveResult Check(WaveOp op) override {
        ++script_->Calls[op];
        const auto it = script_->Failures.find(op);
        return it == script_->Failures.end() ? WaveOk : it->second;
    }
    WaveResult Start() override {
        script_->Started = true;
        return WaveOk;
    }
    WaveResult Stop() override {
        script_->Started = false;
        return WaveOk;
    }

  private:
    std::shared_ptr<ScriptedScript> script_;
    WaveSink& sink_;
};

} // namespace

std::unique_ptr<WaveDriver> ScriptedDevice::Open(int32_t sampleRate, WaveSink& sink,
                                                 WaveResult& result) {
    ++script_->Calls[WaveOp::Open];
    const auto it = script_->Failures.find(WaveOp::Open);
    if (it != script_->Failures.end()) {
        result = it->second;
        return nullptr;
    }
    script_->LastOpenRate = sampleRate;
    ++script_->Opens;
    script_->Sink = &sink;
    result = WaveOk;
    return std::make_unique<ScriptedDriver>(script_, sink);
}

size_t ScriptedScript::Record(const std::vector<int16_t>& samples) {
    return Sink ? Sink->Write(samples.data(), samples.size()) : 0;
}

void ScriptedScript::FinishCurrent() {
    if (Sink) Sink->FinishCurrent();
}

size_t ScriptedScript::Queued() const {
    return Sink ? Sink->QueuedCount() : 0;
}

} // namespace io::testing
