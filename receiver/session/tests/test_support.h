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
        : State(captureState), Wave(waveInput) {
        OwnChain = dsp::MakeChain(dsp::ModeNato, Controls, Settings);
    }

    void ReportFailure(const QString& text) override { Messages.push_back(text); }
    void EndRun() override { ++RunEnds; }
    dsp::ChainState& Chain() override { return *OwnChain; }
    const dsp::Settings& ChainSettings() override { return Settings; }
    const dsp::ChainControls& ChainControls() override { return Controls; }
    const dsp::DisplayHooks& ChainHooks() override { return Hooks; }
    void DeliverNotice(const io::WaveNotice& notice) override {
        Notices.push_back(notice);
        // Read before the cycle queues the buffer again (which clears the count).
        if (notice.Kind == io::WaveNoticeKind::Data && Wave.IsOpen(notice.Device))
            RecordedBytes.push_back(notice.Buffer->BytesRecorded);
        if (notice.Kind == io::WaveNoticeKind::Open)
            OnWaveOpen(State, Wave, *this, notice);
        else
            OnWaveData(State, Wave, *this, notice);
    }
    void CaptureEvent(const std::string& line) override { Events.push_back(line); }
    // The window initialisation's capture steps.
    void Initialise() override {
        ++Initialisations;
        OpenCapture(State, Wave, *this);
        AllocateBuffers(State, Wave, *this);
    }

    CaptureState& State;
    io::WaveInput& Wave;
    std::unique_ptr<dsp::ChainState> OwnChain;
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    dsp::DisplayHooks Hooks;
    std::vector<QString> Messages;
    std::vector<std::string> Events; // CaptureEvent lines
    std::vector<io::WaveNotice> Notices;
    std::vector<uint32_t> RecordedBytes; // of each data notice, as delivered
    int RunEnds = 0;
    int Initialisations = 0;
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
