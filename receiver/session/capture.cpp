// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/capture.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <new>

namespace session {

namespace {

// Whether `buffer` is one of the used slots 1..1024 of the current table; compares
// addresses only, so a stale pointer is never dereferenced.
bool IsCurrentSlot(const CaptureState& state, const io::WaveBuffer* buffer) {
    if (state.CaptureBuffers.size() < 2 || !buffer) return false;
    const std::less_equal<const io::WaveBuffer*> notAfter;
    return notAfter(&state.CaptureBuffers[1], buffer) &&
           notAfter(buffer, &state.CaptureBuffers.back());
}

// Resets and closes the open device, if any; afterwards it references no buffer.
void ReleaseDevice(CaptureState& state, io::WaveInput& wave) {
    if (!wave.IsOpen(state.CaptureDevice)) {
        state.CaptureDevice = 0;
        return;
    }
    wave.Reset(state.CaptureDevice);
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot)
        wave.Unprepare(state.CaptureDevice, state.CaptureBuffers[slot]);
    if (wave.Close(state.CaptureDevice) == io::WaveOk) state.CaptureDevice = 0;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string InputName(const CaptureState& state, const io::WaveInput& wave) {
    const QString name = wave.DeviceName(state.DeviceId);
    return name.isEmpty() ? std::string("the default input") : name.toStdString();
}

void StopRetrying(CaptureState& state) {
    if (state.RetryTimer) state.RetryTimer->stop();
}

void FailRunningCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                        io::WaveResult result) {
    if (state.Reconnect) {
        LoseCapture(state, wave, host, wave.ErrorText(result));
        return;
    }
    state.CaptureFailed = true;
    wave.Stop(state.CaptureDevice);
    host.ReportFailure(wave.ErrorText(result));
    host.EndRun();
}

// The fill samples among samples [from, to) of the buffer being processed.
int64_t FillWithin(const CaptureState& state, int32_t from, int32_t to) {
    if (state.CurrentBufferFillSamples == 0) return 0;
    const int64_t lo = std::max<int64_t>(from, state.CurrentBufferFillFirst);
    const int64_t hi = std::min<int64_t>(to, state.CurrentBufferFillEnd);
    return std::min<int64_t>(std::max<int64_t>(hi - lo, 0), state.CurrentBufferFillSamples);
}

} // namespace

int64_t TakeBlockFill(CaptureState& state, int32_t through) {
    through = std::clamp(through, state.NextBlockStart, state.CurrentBufferSamples);
    const int64_t fill = state.FillCarried + FillWithin(state, state.NextBlockStart, through);
    state.FillCarried = 0;
    state.NextBlockStart = through;
    return fill;
}

QString NoDeviceMessage() {
    return QStringLiteral("No suitable device found");
}

QString AllocFailedMessage() {
    return QStringLiteral("Can\u00B4t alloc Buffers");
}

std::unique_ptr<int16_t[]> HeapBuffer(size_t samples) {
    return std::unique_ptr<int16_t[]>(new (std::nothrow) int16_t[samples]());
}

namespace {

// Opens DeviceId; "No suitable device found" when it cannot be opened.
bool OpenDevice(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                io::WaveResult& result) {
    ReleaseDevice(state, wave);
    state.BuffersQueued = false;
    state.CaptureFailed = false;
    io::WaveHandle handle = 0;
    result = wave.Open(handle, state.DeviceId, host.Chain().SampleRate,
                       [&host](const io::WaveNotice& notice) { host.DeliverNotice(notice); });
    if (result != io::WaveOk) {
        host.ReportFailure(NoDeviceMessage());
        return false;
    }
    StopRetrying(state); // the open notice tells whether it really runs
    state.CaptureDevice = handle;
    return true;
}

} // namespace

bool OpenCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host) {
    io::WaveResult result = io::WaveOk;
    if (OpenDevice(state, wave, host, result)) return true;
    if (state.Reconnect) LoseCapture(state, wave, host, wave.ErrorText(result));
    return false;
}

bool AllocateBuffers(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                     const BufferAllocator& allocate) {
    // The old memory goes below; make sure no open device still fills it.
    bool queued = false;
    for (const io::WaveBuffer& header : state.CaptureBuffers)
        queued = queued || (header.Flags & io::WaveBufferQueued);
    if (queued) wave.Reset(state.CaptureDevice);

    // Fresh tables: the old ones are released, not reused in place.
    state.CaptureBuffers = std::vector<io::WaveBuffer>(CaptureBufferCount + 1);
    state.BufferMemory = std::vector<std::unique_ptr<int16_t[]>>(CaptureBufferCount + 1);
    state.BuffersQueued = false;
    for (int32_t slot = 1; slot <= CaptureBufferCount; ++slot) {
        state.BufferMemory[slot] = allocate(CaptureBufferSamples);
        if (!state.BufferMemory[slot]) {
            host.ReportFailure(AllocFailedMessage());
            return false;
        }
        state.CaptureBuffers[slot].Data = state.BufferMemory[slot].get();
        state.CaptureBuffers[slot].BufferLength = CaptureBufferBytes;
    }
    return true;
}

bool QueueBuffers(CaptureState& state, io::WaveInput& wave, CaptureHost& host) {
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot) {
        io::WaveBuffer& header = state.CaptureBuffers[slot];
        const io::WaveResult result = wave.Prepare(state.CaptureDevice, header);
        if (result != io::WaveOk) {
            host.ReportFailure(wave.ErrorText(result));
            return false;
        }
        wave.Queue(state.CaptureDevice, header);
    }
    state.BuffersQueued = state.CaptureBuffers.size() > 1;
    return state.BuffersQueued;
}

void OnWaveOpen(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                const io::WaveNotice& notice) {
    if (notice.Device != state.CaptureDevice || state.CaptureFailed) return;
    if (!state.BuffersQueued) QueueBuffers(state, wave, host);
    const io::WaveResult result = wave.Start(state.CaptureDevice);
    if (result == io::WaveOk) {
        state.Inputs.InputOpened();
        if (state.Lost) {
            state.Lost = false;
            const long long seconds = (NowMs() - state.LostAtMs + 500) / 1000;
            host.CaptureEvent("input back after " + std::to_string(seconds) +
                              " s: " + InputName(state, wave));
        }
        return;
    }
    if (state.Reconnect) {
        LoseCapture(state, wave, host, wave.ErrorText(result));
        return;
    }
    // A listed device that refuses to deliver is as good as one that cannot be
    // opened: released before the message box's loop runs, and said so.
    ReleaseDevice(state, wave);
    host.ReportFailure(NoDeviceMessage());
}

void OnWaveData(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                const io::WaveNotice& notice) {
    if (notice.Device != state.CaptureDevice || state.CaptureFailed) return;
    if (notice.Kind == io::WaveNoticeKind::End) {
        host.InputEnded();
        return;
    }
    if (!IsCurrentSlot(state, notice.Buffer)) return;
    io::WaveBuffer& header = *notice.Buffer;
    const int32_t samples = static_cast<int32_t>(header.BytesRecorded / sizeof(int16_t));
    const int32_t sampleRate = host.Chain().SampleRate;
    state.CurrentBufferSamples = samples;
    state.CurrentBufferDoneMs = header.DoneWallMs;
    state.CurrentBufferFillSamples = header.FillSamples;
    state.CurrentBufferFillFirst = header.FillFirst;
    state.CurrentBufferFillEnd = header.FillEnd;
    state.NextBlockStart = 0;
    dsp::ResampleBuffer(host.Chain(), host.ChainSettings(), host.ChainControls(), host.ChainHooks(),
                        header.Data, header.BytesRecorded);
    state.Inputs.EndBuffer(host.Chain(), samples);
    if (sampleRate > 0) state.InputSecondsBefore += static_cast<double>(samples) / sampleRate;
    state.FillCarried += FillWithin(state, state.NextBlockStart, samples);
    state.CurrentBufferSamples = 0;
    state.CurrentBufferFillSamples = 0;
    io::WaveResult result = wave.Prepare(state.CaptureDevice, header);
    if (result == io::WaveOk) result = wave.Queue(state.CaptureDevice, header);
    if (result != io::WaveOk) FailRunningCapture(state, wave, host, result);
}

void StopCapture(CaptureState& state, io::WaveInput& wave) {
    wave.Stop(state.CaptureDevice);
}

QStringList DeviceNames(io::WaveInput& wave) {
    QStringList names;
    const int32_t count = wave.DeviceCount();
    for (int32_t id = 0; id < count; ++id)
        names.push_back(wave.DeviceName(id));
    return names;
}

bool SwitchDevice(CaptureState& state, io::WaveInput& wave, CaptureHost& host) {
    io::WaveResult result = io::WaveOk;
    if (OpenDevice(state, wave, host, result) && AllocateBuffers(state, wave, host) &&
        QueueBuffers(state, wave, host)) {
        result = wave.Start(state.CaptureDevice);
        if (result == io::WaveOk) {
            state.Lost = false; // another input chosen: nothing to wait for
            return true;
        }
        host.ReportFailure(wave.ErrorText(result));
    }
    host.EndRun();
    return false;
}

void RestartCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host) {
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot)
        wave.Unprepare(state.CaptureDevice, state.CaptureBuffers[slot]);
    wave.Reset(state.CaptureDevice);
    if (wave.Close(state.CaptureDevice) == io::WaveOk) state.CaptureDevice = 0;
    host.Chain().Intake.CaptureBlock.fill(0);
    host.Initialise();
}

void ReleaseCapture(CaptureState& state, io::WaveInput& wave) {
    StopRetrying(state);
    state.RetryTimer.reset();
    state.Lost = false;
    ReleaseDevice(state, wave);
    state.CaptureBuffers.clear();
    state.BufferMemory.clear();
    state.BuffersQueued = false;
}

void LoseCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host, const QString& why) {
    ReleaseDevice(state, wave);
    state.BuffersQueued = false;
    state.CaptureFailed = false;
    if (!state.Lost) {
        state.Lost = true;
        ++state.Losses;
        state.LostAtMs = NowMs();
        host.CaptureEvent("input lost: " + InputName(state, wave) + ": " + why.toStdString() +
                          "; trying it again every " +
                          std::to_string((state.RetryIntervalMs + 500) / 1000) + " s");
    }
    if (!state.RetryTimer) {
        state.RetryTimer = std::make_shared<QTimer>();
        state.RetryTimer->setSingleShot(true);
        QObject::connect(state.RetryTimer.get(), &QTimer::timeout,
                         [&state, &wave, &host] { RetryCapture(state, wave, host); });
    }
    state.RetryTimer->start(state.RetryIntervalMs);
}

void RetryCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host) {
    if (!state.Lost || !state.Reconnect) return;
    io::WaveHandle handle = 0;
    // The input is opened by what was listed when it was chosen (a source's name),
    // so it is found again wherever it comes back in the list.
    const io::WaveResult result =
        wave.Open(handle, state.DeviceId, host.Chain().SampleRate,
                  [&host](const io::WaveNotice& notice) { host.DeliverNotice(notice); });
    if (result != io::WaveOk) {
        state.RetryTimer->start(state.RetryIntervalMs);
        return;
    }
    // The open notice queues the buffers and starts; it tells of the return.
    state.CaptureDevice = handle;
}

void SetReconnect(CaptureState& state, CaptureHost& host, bool on) {
    state.Reconnect = on;
    if (on || !state.Lost) return;
    StopRetrying(state);
    host.CaptureEvent("reconnect off: the input stays lost");
}

} // namespace session
