// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the main window: records what the capture cycle asks of it and routes
// the device's notices back into the cycle, as the window's handlers do.
#pragma once

#include "receiver/io/tests/scripted_device.h"
#include "receiver/session/capture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace session::testing {

struct FakeHost : CaptureHost {
    FakeHost(CaptureState& captureState, io::WaveInput& waveInput)
        : state(captureState), wave(waveInput) {
        dsp::SetSignalParameters(*chain, controls, settings);
        dsp::BuildSignalTables(chain->Tables);
    }

    void ShowCaptureMessage(const QString& text) override { messages.push_back(text); }
    void EndWindow() override { ++windowEnds; }
    dsp::ChainState& Chain() override { return *chain; }
    const dsp::Settings& ChainSettings() override { return settings; }
    const dsp::ChainControls& ChainControls() override { return controls; }
    const dsp::DisplayHooks& ChainHooks() override { return hooks; }
    void WaveMessage(const io::WaveNotice& notice) override {
        notices.push_back(notice);
        // Read before the cycle queues the buffer again (which clears the count).
        if (notice.Kind == io::WaveNoticeKind::Data && wave.IsOpen(notice.Device))
            recordedBytes.push_back(notice.Buffer->BytesRecorded);
        if (notice.Kind == io::WaveNoticeKind::Open)
            OnWaveOpen(state, wave, *this, notice);
        else
            OnWaveData(state, wave, *this, notice);
    }
    void CaptureEvent(const std::string& line) override { events.push_back(line); }
    // The window initialisation's capture steps.
    void Initialise() override {
        ++initialisations;
        OpenCapture(state, wave, *this);
        AllocateBuffers(state, wave, *this);
    }

    CaptureState& state;
    io::WaveInput& wave;
    std::unique_ptr<dsp::ChainState> chain = dsp::MakeChainState();
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::DisplayHooks hooks;
    std::vector<QString> messages;
    std::vector<std::string> events; // CaptureEvent lines
    std::vector<io::WaveNotice> notices;
    std::vector<uint32_t> recordedBytes; // of each data notice, as delivered
    int windowEnds = 0;
    int initialisations = 0;
};

// Delivers every posted notice, including those posted while delivering.
inline void Pump() {
    for (int i = 0; i < 4; ++i)
        QCoreApplication::sendPostedEvents();
}

// Runs the event loop until done() or the time is up; returns done().
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer wakeUp; // so that waiting for events never outlasts a check by much
    wakeUp.start(10);
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

} // namespace session::testing
