// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/capture/capture.h"

#include <functional>
#include <new>

namespace cap {

namespace {

// Whether `buffer` is one of the used slots 1..1024 of the current table; compares
// addresses only, so a stale pointer is never dereferenced.
bool IsCurrentSlot(const CaptureState& state, const WaveBuffer* buffer) {
    if (state.CaptureBuffers.size() < 2 || !buffer) return false;
    const std::less_equal<const WaveBuffer*> notAfter;
    return notAfter(&state.CaptureBuffers[1], buffer) &&
           notAfter(buffer, &state.CaptureBuffers.back());
}

// Resets and closes the open device, if any; afterwards it references no buffer.
void ReleaseDevice(CaptureState& state, WaveInput& wave) {
    if (!wave.IsOpen(state.CaptureDevice)) {
        state.CaptureDevice = 0;
        return;
    }
    wave.Reset(state.CaptureDevice);
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot)
        wave.Unprepare(state.CaptureDevice, state.CaptureBuffers[slot]);
    if (wave.Close(state.CaptureDevice) == WaveOk) state.CaptureDevice = 0;
}

void FailRunningCapture(CaptureState& state, WaveInput& wave, CaptureHost& host,
                        WaveResult result) {
    state.CaptureFailed = true;
    wave.Stop(state.CaptureDevice);
    host.ShowCaptureMessage(wave.ErrorText(result));
    host.EndWindow();
}

} // namespace

QString NoDeviceMessage() {
    return QStringLiteral("No suitable device found");
}

QString AllocFailedMessage() {
    return QStringLiteral("Can\u00B4t alloc Buffers");
}

std::unique_ptr<int16_t[]> HeapBuffer(size_t samples) {
    return std::unique_ptr<int16_t[]>(new (std::nothrow) int16_t[samples]());
}

bool OpenCapture(CaptureState& state, WaveInput& wave, CaptureHost& host) {
    ReleaseDevice(state, wave);
    state.BuffersQueued = false;
    state.CaptureFailed = false;
    WaveHandle handle = 0;
    const WaveResult result =
        wave.Open(handle, state.DeviceId, host.Chain().SampleRate,
                  [&host](const WaveNotice& notice) { host.WaveMessage(notice); });
    if (result != WaveOk) {
        host.ShowCaptureMessage(NoDeviceMessage());
        return false;
    }
    state.CaptureDevice = handle;
    return true;
}

bool AllocateBuffers(CaptureState& state, WaveInput& wave, CaptureHost& host,
                     const BufferAllocator& allocate) {
    // The old memory goes below; make sure no open device still fills it.
    bool queued = false;
    for (const WaveBuffer& header : state.CaptureBuffers)
        queued = queued || (header.Flags & WaveBufferQueued);
    if (queued) wave.Reset(state.CaptureDevice);

    // Fresh tables: the old ones are released, not reused in place.
    state.CaptureBuffers = std::vector<WaveBuffer>(CaptureBufferCount + 1);
    state.BufferMemory = std::vector<std::unique_ptr<int16_t[]>>(CaptureBufferCount + 1);
    state.BuffersQueued = false;
    for (int32_t slot = 1; slot <= CaptureBufferCount; ++slot) {
        state.BufferMemory[slot] = allocate(CaptureBufferSamples);
        if (!state.BufferMemory[slot]) {
            host.ShowCaptureMessage(AllocFailedMessage());
            return false;
        }
        state.CaptureBuffers[slot].Data = state.BufferMemory[slot].get();
        state.CaptureBuffers[slot].BufferLength = CaptureBufferBytes;
    }
    return true;
}

bool QueueBuffers(CaptureState& state, WaveInput& wave, CaptureHost& host) {
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot) {
        WaveBuffer& header = state.CaptureBuffers[slot];
        const WaveResult result = wave.Prepare(state.CaptureDevice, header);
        if (result != WaveOk) {
            host.ShowCaptureMessage(wave.ErrorText(result));
            return false;
        }
        wave.Queue(state.CaptureDevice, header);
    }
    state.BuffersQueued = state.CaptureBuffers.size() > 1;
    return state.BuffersQueued;
}

void OnWaveOpen(CaptureState& state, WaveInput& wave, CaptureHost& host, const WaveNotice& notice) {
    if (notice.Device != state.CaptureDevice || state.CaptureFailed) return;
    if (!state.BuffersQueued) QueueBuffers(state, wave, host);
    if (wave.Start(state.CaptureDevice) == WaveOk) return;
    // A listed device that refuses to deliver is as good as one that cannot be
    // opened: released before the message box's loop runs, and said so.
    ReleaseDevice(state, wave);
    host.ShowCaptureMessage(NoDeviceMessage());
}

void OnWaveData(CaptureState& state, WaveInput& wave, CaptureHost& host, const WaveNotice& notice) {
    if (notice.Device != state.CaptureDevice || state.CaptureFailed) return;
    if (notice.Kind == WaveNoticeKind::End) {
        host.InputEnded();
        return;
    }
    if (!IsCurrentSlot(state, notice.Buffer)) return;
    WaveBuffer& header = *notice.Buffer;
    const int32_t samples = static_cast<int32_t>(header.BytesRecorded / sizeof(int16_t));
    const int32_t sampleRate = host.Chain().SampleRate;
    state.CurrentBufferSamples = samples;
    state.CurrentBufferDoneMs = header.DoneWallMs;
    rx::ResampleBuffer(host.Chain(), host.ChainSettings(), host.ChainControls(), host.ChainHooks(),
                       header.Data, header.BytesRecorded);
    if (sampleRate > 0) state.InputSecondsBefore += static_cast<double>(samples) / sampleRate;
    state.CurrentBufferSamples = 0;
    WaveResult result = wave.Prepare(state.CaptureDevice, header);
    if (result == WaveOk) result = wave.Queue(state.CaptureDevice, header);
    if (result != WaveOk) FailRunningCapture(state, wave, host, result);
}

void StopCapture(CaptureState& state, WaveInput& wave) {
    wave.Stop(state.CaptureDevice);
}

QStringList DeviceNames(WaveInput& wave) {
    QStringList names;
    const int32_t count = wave.DeviceCount();
    for (int32_t id = 0; id < count; ++id)
        names.push_back(wave.DeviceName(id));
    return names;
}

bool SwitchDevice(CaptureState& state, WaveInput& wave, CaptureHost& host) {
    if (OpenCapture(state, wave, host) && AllocateBuffers(state, wave, host) &&
        QueueBuffers(state, wave, host)) {
        const WaveResult result = wave.Start(state.CaptureDevice);
        if (result == WaveOk) return true;
        host.ShowCaptureMessage(wave.ErrorText(result));
    }
    host.EndWindow();
    return false;
}

void RestartCapture(CaptureState& state, WaveInput& wave, CaptureHost& host) {
    for (size_t slot = 1; slot < state.CaptureBuffers.size(); ++slot)
        wave.Unprepare(state.CaptureDevice, state.CaptureBuffers[slot]);
    wave.Reset(state.CaptureDevice);
    if (wave.Close(state.CaptureDevice) == WaveOk) state.CaptureDevice = 0;
    host.Chain().Intake.CaptureBlock.fill(0);
    host.Initialise();
}

void ReleaseCapture(CaptureState& state, WaveInput& wave) {
    ReleaseDevice(state, wave);
    state.CaptureBuffers.clear();
    state.BufferMemory.clear();
    state.BuffersQueued = false;
}

} // namespace cap
