// SPDX-License-Identifier: GPL-3.0-or-later
// The capture cycle: the chosen input is opened for 16-bit mono PCM at the current
// SampleRate, 1024 buffers of 1024 samples are kept queued on it, and every completed
// buffer goes to the clock-correcting resampler at the head of the block chain and is
// queued again. Everything runs on the main thread, driven by the device's notices.
//
// The host (the window, or the headless runner) owns one CaptureState and one
// WaveInput for its whole run and calls:
//   initialisation         OpenCapture, then AllocateBuffers (failures are reported;
//                          initialisation goes on)
//   wave open notice       OnWaveOpen
//   wave data notice       OnWaveData
//   "Select Input"         StopCapture, the picker (DeviceNames), then SwitchDevice
//   mode commands          RestartCapture (it runs the host's initialisation again)
//   end of the run         ReleaseCapture
//
// Beyond the bare cycle, these are made safe here:
//   - a notice for a device that has been closed, or naming a buffer that is not one of
//     the current slots, is dropped without touching the buffer;
//   - opening a device first resets and closes the one still open (the picker path
//     only stops it), and re-creating the buffers releases the memory of the earlier
//     ones, which no open device references any more;
//   - when the buffers were already queued on the device (SwitchDevice queues them
//     itself), the open notice does not queue them a second time;
//   - a device that opens but refuses to start at its open notice is released with
//     "No suitable device found", as if it could not be opened;
//   - after a running capture fails (error reported, run ending) the device is
//     stopped and further notices are dropped, so one failure is reported once.
//
// With Reconnect on (unattended stations), an input that fails while capturing, or
// cannot be opened at initialisation, is not the end: the device is released, the
// loss told as one line (CaptureHost::CaptureEvent), and the same input is opened
// again every RetryIntervalMs until it answers; capture then goes on with the same
// buffers and chain, and the return is told. No block is processed meanwhile. A
// device chosen in the picker that cannot be opened still ends the run.
#pragma once

#include "receiver/dsp/chain.h"
#include "receiver/io/wave_input.h"
#include "receiver/session/block_input.h"

#include <QString>
#include <QStringList>

#include <string>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace session {

inline constexpr int32_t ReconnectIntervalMs = 10000;
inline constexpr int32_t CaptureBufferCount = 1024; // slots 1..1024; slot 0 unused
inline constexpr int32_t CaptureBufferSamples = 1024;
inline constexpr uint32_t CaptureBufferBytes = 2048;

struct CaptureState {
    io::WaveHandle CaptureDevice = 0;                     // 0: none open
    int32_t DeviceId = 0;                                 // -1: the system's default input
    std::vector<io::WaveBuffer> CaptureBuffers;           // 1025 headers after AllocateBuffers
    std::vector<std::unique_ptr<int16_t[]>> BufferMemory; // the memory of each slot
    bool BuffersQueued = false; // QueueBuffers succeeded on the current device
    bool CaptureFailed = false; // a running capture failed; the run is ending
    bool Reconnect = false;     // a lost input is retried instead of ending the run
    int32_t RetryIntervalMs = ReconnectIntervalMs;
    bool Lost = false;    // the input was lost and is being retried
    int64_t LostAtMs = 0; // when (monotonic clock)
    int64_t Losses = 0;   // times the input was lost in this run
    std::shared_ptr<QTimer> RetryTimer;

    // Where the input stands, for time-stamping blocks: the seconds of input handed
    // to the chain before the buffer being processed, that buffer's samples and the
    // wall-clock time of its last sample (ms since the epoch).
    double InputSecondsBefore = 0.0;
    int32_t CurrentBufferSamples = 0;
    int64_t CurrentBufferDoneMs = 0;
    // Full-scale samples and filled losses of each block, for the measurements.
    BlockInputWatch Inputs;

    // Silence a network input put in for lost data: that of the buffer being
    // processed (FillSamples within [FillFirst, FillEnd)), the first sample of
    // the next block in it, and the fill of earlier buffers not yet in a block.
    uint32_t CurrentBufferFillSamples = 0;
    uint32_t CurrentBufferFillFirst = 0;
    uint32_t CurrentBufferFillEnd = 0;
    int32_t NextBlockStart = 0;
    int64_t FillCarried = 0;
};

// The fill samples of the block that ends with sample `through` - 1 of the
// buffer being processed (the block processed now): called once per block,
// from the chain's BlockProcessed hook.
int64_t TakeBlockFill(CaptureState& state, int32_t through);

// What the capture cycle needs from whoever runs it: the window or the
// headless runner.
class CaptureHost {
  public:
    virtual ~CaptureHost() = default;
    // Why the input cannot be opened or has failed (the window shows a message
    // box with the program's default caption; headless writes an event line).
    virtual void ReportFailure(const QString& text) = 0;
    // Ends the run (the settings file is written on the way out).
    virtual void EndRun() = 0;
    // The chain the completed buffers are handed to; its SampleRate is the rate opened.
    virtual dsp::ChainState& Chain() = 0;
    virtual const dsp::Settings& ChainSettings() = 0;
    virtual const dsp::ChainControls& ChainControls() = 0;
    virtual const dsp::DisplayHooks& ChainHooks() = 0;
    // A device's notice, delivered on the host's thread; the host hands it to
    // OnWaveOpen / OnWaveData.
    virtual void DeliverNotice(const io::WaveNotice& notice) = 0;
    // The host's initialisation again (the last step of RestartCapture).
    virtual void Initialise() = 0;
    // One line about the input (lost, back), for a log or standard error.
    virtual void CaptureEvent(const std::string& line) { (void)line; }
    // The open device has delivered all it ever will (the end of a replayed
    // recording).  The window carries on with still displays; headless ends.
    virtual void InputEnded() {}
};

// The texts the cycle shows.
QString NoDeviceMessage();    // "No suitable device found"
QString AllocFailedMessage(); // "Can´t alloc Buffers" (U+00B4 acute accent)

// Memory for one buffer: `samples` zeroed samples, or nullptr when none is left.
using BufferAllocator = std::function<std::unique_ptr<int16_t[]>(size_t samples)>;
std::unique_ptr<int16_t[]> HeapBuffer(size_t samples);

bool OpenCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host);
bool AllocateBuffers(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                     const BufferAllocator& allocate = HeapBuffer);
bool QueueBuffers(CaptureState& state, io::WaveInput& wave, CaptureHost& host);
void OnWaveOpen(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                const io::WaveNotice& notice);
// Also takes the End notice of the open device (InputEnded).
void OnWaveData(CaptureState& state, io::WaveInput& wave, CaptureHost& host,
                const io::WaveNotice& notice);

// Before the picker: capture stops, the device stays open.
void StopCapture(CaptureState& state, io::WaveInput& wave);
// The picker's list: exactly the names of the devices, item i is device i.
QStringList DeviceNames(io::WaveInput& wave);
// After the picker: open DeviceId, allocate, queue, start; on any failure the run
// is ended. Returns whether capture runs.
bool SwitchDevice(CaptureState& state, io::WaveInput& wave, CaptureHost& host);
// Mode change: unprepare all, reset, close, zero CaptureBlock, then the host's
// initialisation (which reopens at the new SampleRate).
void RestartCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host);
// End of the run: device closed, buffer memory released, no more retries.
void ReleaseCapture(CaptureState& state, io::WaveInput& wave);

// Reconnect: the input is released, its loss told, and RetryCapture runs after
// RetryIntervalMs (again and again until the input opens).
void LoseCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host, const QString& why);
void RetryCapture(CaptureState& state, io::WaveInput& wave, CaptureHost& host);
// Switches Reconnect; switched off while the input is lost, the retries stop.
void SetReconnect(CaptureState& state, CaptureHost& host, bool on);

} // namespace session
