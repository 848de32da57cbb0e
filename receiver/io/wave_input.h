// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-input layer: the small set of operations a sound-card API offers to a
// program that records through a ring of caller-owned buffers.
//
//   count devices, device name, open at a rate (answered later by an open notice),
//   prepare / queue buffers, start, stop, reset (returns every queued buffer),
//   unprepare, close, error text.
//
// Every operation answers with a result code. Completed buffers and the open
// confirmation come back as notices posted to the Qt event queue of the thread that
// owns the WaveInput (the main thread), one at a time; because they are ordinary
// posted events they are also handled inside nested modal loops (QDialog::exec,
// QMessageBox). Each open gets a new handle that is never reused; a notice whose
// handle has been closed is dropped before anything looks at its buffer, so buffer
// memory may be released as soon as the device is closed.
//
// Buffer rules (as the sound-card APIs have them): a buffer must be prepared before it
// is queued; a queued buffer cannot be unprepared or queued again until it comes back;
// buffers are filled in the order they were queued; stop returns the buffer being
// filled if it holds any samples and keeps the empty ones queued; reset and close
// return every queued buffer (each with a buffer-done notice) and the device keeps no
// reference to any buffer afterwards.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace io {

// Result codes of the wave-input operations. Drivers may register further codes with
// a text of their own (WaveInput::RegisterErrorText).
enum WaveResult : int32_t {
    WaveOk = 0,
    WaveError = 1,         // unspecified failure
    WaveBadDeviceId = 2,   // no device with that index
    WaveNotEnabled = 3,    // the device is present but cannot be used now
    WaveAllocated = 4,     // the device is in use
    WaveInvalidHandle = 5, // the handle is not (or no longer) open
    WaveNoDriver = 6,      // no sound system available
    WaveNoMemory = 7,      // memory could not be allocated
    WaveNotSupported = 8,  // operation not supported by the device
    WaveInvalidParam = 11, // a null buffer, a zero length, ...
    WaveBadFormat = 32,    // the device cannot record this format or rate
    WaveStillQueued = 33,  // the buffer is still queued on the device
    WaveUnprepared = 34,   // the buffer has not been prepared
    WaveFirstRegistered = 1000,
};

// What the error text of a result may show at most (a 127-byte text buffer).
inline constexpr int MaxErrorTextChars = 126;

// Flags of a buffer header.
enum WaveBufferFlag : uint32_t {
    WaveBufferDone = 1u << 0,     // returned by the device
    WaveBufferPrepared = 1u << 1, // prepared for this device
    WaveBufferQueued = 1u << 4,   // waiting in the device's queue
};

// A buffer header. The memory it points at belongs to the caller; the device writes
// 16-bit samples into it and sets BytesRecorded.
struct WaveBuffer {
    int16_t* Data = nullptr;
    uint32_t BufferLength = 0; // bytes
    uint32_t BytesRecorded = 0;
    uint32_t Flags = 0;
    // Wall-clock time (ms since the epoch) of the buffer's last sample, from
    // the stream's sample count since its start time (see WaveSink::SetTime).
    int64_t DoneWallMs = 0;
    // Samples of the buffer that are silence put in for input that was lost
    // (a network stream's losses), all of them within [FillFirst, FillEnd).
    uint32_t FillSamples = 0;
    uint32_t FillFirst = 0;
    uint32_t FillEnd = 0;
};

// Handle of an open device; 0 is never a valid handle.
using WaveHandle = uint64_t;

// Open: the device is open.  Data: a buffer comes back.  End: the device has
// delivered all it ever will (a recording or a stream has ended); it follows the
// device's last Data notice.
enum class WaveNoticeKind { Open, Data, End };

struct WaveNotice {
    WaveNoticeKind Kind = WaveNoticeKind::Open;
    WaveHandle Device = 0;
    WaveBuffer* Buffer = nullptr; // Data notices only
};

using WaveCallback = std::function<void(const WaveNotice&)>;

// The operations of an open device; a driver may refuse any of them (WaveDriver::Check).
enum class WaveOp { Open, Prepare, Unprepare, Queue, Start, Stop, Reset, Close };

// What an open device gets from the layer: the sink for the samples it records.
class WaveSink {
  public:
    virtual ~WaveSink() = default;
    // Appends samples to the queued buffers in order; every buffer that becomes full
    // is returned with a buffer-done notice. Samples for which no buffer is queued are
    // lost (as with a sound card that runs out of buffers). Returns the number stored.
    virtual size_t Write(const int16_t* samples, size_t count) = 0;
    // Returns the buffer being filled, with whatever it holds so far (possibly nothing).
    // Does nothing when no buffer is queued.
    virtual void FinishCurrent() = 0;
    // The source has ended: the buffer being filled is returned when it holds any
    // samples, then an End notice follows.  Nothing is written afterwards.
    virtual void EndOfInput() = 0;
    // Number of buffers waiting in the queue.
    virtual size_t QueuedCount() const = 0;
    // Bytes recorded so far into the buffer being filled (0 when none is queued).
    virtual size_t CurrentBytes() const = 0;
    // The `count` samples from `offset` samples after the next one written on
    // are silence put in for input that was lost; the buffers they land in
    // say so.
    virtual void MarkFill(size_t offset, size_t count) {
        (void)offset;
        (void)count;
    }
    // The next sample written was taken at `wallMs` (ms since the epoch), and
    // the device keeps the time from now on: every later sample is dated by
    // the samples written since, at the rate opened. Without it the first
    // write dates the stream (its last sample taken as it is written), and a
    // stream that comes more than ReanchorMs off that count (a pause, a
    // stall) is dated afresh.
    virtual void SetTime(double wallMs) { (void)wallMs; }
};

inline constexpr int64_t ReanchorMs = 1000;

// One open device: a source of samples. Start and Stop switch the flow of samples
// into the sink; the layer does the buffer bookkeeping.
class WaveDriver {
  public:
    virtual ~WaveDriver() = default;
    // Lets a driver refuse an operation before the layer carries it out (a sound card
    // whose stream has died refuses to take buffers).
    virtual WaveResult Check(WaveOp) { return WaveOk; }
    virtual WaveResult Start() = 0;
    virtual WaveResult Stop() = 0;
};

struct StreamCounts;

// An entry of the device list.
class WaveDevice {
  public:
    virtual ~WaveDevice() = default;
    virtual QString Name() const = 0;
    // What a network stream has counted (losses, fills); nullptr for any other input.
    virtual const StreamCounts* NetworkCounts() const { return nullptr; }
    // Opens the device for 16-bit mono PCM at sampleRate; the sink outlives the
    // driver. On failure returns nullptr and sets result.
    virtual std::unique_ptr<WaveDriver> Open(int32_t sampleRate, WaveSink& sink,
                                             WaveResult& result) = 0;
};

class WaveRouter;
class SoundSystem;

// Which sound system lists and opens the sound cards.
enum class SoundSystemChoice {
    Automatic,   // PulseAudio (or PipeWire's pulse server) where one answers, else Qt Multimedia
    PulseAudio,  // only a pulse server
    QtMultimedia // only Qt Multimedia
};

// The layer itself. One per program, owned by the main window (or a test), used on
// the thread that created it.
class WaveInput {
  public:
    // withSoundCards: the device list starts with the system's sound-card inputs.
    explicit WaveInput(bool withSoundCards = true,
                       SoundSystemChoice soundSystem = SoundSystemChoice::Automatic);
    ~WaveInput();
    WaveInput(const WaveInput&) = delete;
    WaveInput& operator=(const WaveInput&) = delete;

    // Appends a device after the sound cards; returns its index.
    int32_t AddDevice(std::unique_ptr<WaveDevice> device);

    // The sound cards are looked up afresh by DeviceCount; names and opens use the
    // list of the last count.
    int32_t DeviceCount();
    QString DeviceName(int32_t deviceId) const;
    // The sound system of the last count ("PulseAudio", "Qt Multimedia"); empty
    // without sound cards or when none answered.
    QString SoundSystemLabel() const;
    // The name the sound system knows a sound card by (its id, e.g. a PulseAudio
    // source name); empty for the devices added after the sound cards.
    QString DeviceSystemName(int32_t deviceId) const;
    // The counts of a network stream device (see WaveDevice::NetworkCounts).
    const StreamCounts* NetworkCounts(int32_t deviceId) const;

    // deviceId -1 opens the system's default sound-card input. The open notice
    // follows through the event queue.
    WaveResult Open(WaveHandle& handle, int32_t deviceId, int32_t sampleRate, WaveCallback target);
    WaveResult Prepare(WaveHandle handle, WaveBuffer& buffer);
    WaveResult Unprepare(WaveHandle handle, WaveBuffer& buffer);
    WaveResult Queue(WaveHandle handle, WaveBuffer& buffer);
    WaveResult Start(WaveHandle handle);
    WaveResult Stop(WaveHandle handle);
    WaveResult Reset(WaveHandle handle);
    WaveResult Close(WaveHandle handle);

    bool IsOpen(WaveHandle handle) const;

    // The text of a result code, at most MaxErrorTextChars characters.
    QString ErrorText(WaveResult result) const;
    // Gives a driver-specific failure a code of its own.
    WaveResult RegisterErrorText(const QString& text);

    // Delivers a posted notice (called by the router).
    void Dispatch(const WaveNotice& notice);

  private:
    struct OpenDevice;
    OpenDevice* Find(WaveHandle handle) const;
    WaveResult CheckOp(OpenDevice& device, WaveOp op) const;
    void ReturnAll(OpenDevice& device);
    void Post(const WaveNotice& notice);

    bool withSoundCards_;
    SoundSystemChoice choice_;
    std::unique_ptr<SoundSystem> pulse_;
    std::unique_ptr<SoundSystem> qtMultimedia_;
    SoundSystem* cards_ = nullptr; // the system of the last count
    std::vector<QString> cardNames_;
    std::vector<QByteArray> cardIds_;
    std::vector<std::unique_ptr<WaveDevice>> extraDevices_;
    std::map<WaveHandle, std::unique_ptr<OpenDevice>> open_;
    WaveHandle nextHandle_ = 1;
    std::vector<QString> registeredTexts_;
    std::unique_ptr<WaveRouter> router_;
};

// Receives the posted notices and hands them back to its WaveInput.
class WaveRouter : public QObject {
    Q_OBJECT
  public:
    explicit WaveRouter(WaveInput& input) : input_(input) {}

  protected:
    void customEvent(QEvent* event) override;

  private:
    WaveInput& input_;
};

} // namespace io
