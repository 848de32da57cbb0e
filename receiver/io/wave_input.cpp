// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/wave_input.h"

#include "receiver/io/pulse_source.h"
#include "receiver/io/sound_card.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace io {

namespace {

QEvent::Type NoticeEventType() {
    static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
}

class NoticeEvent : public QEvent {
  public:
    explicit NoticeEvent(const WaveNotice& notice) : QEvent(NoticeEventType()), notice_(notice) {}
    const WaveNotice& Notice() const { return notice_; }

  private:
    WaveNotice notice_;
};

QString StandardText(WaveResult result) {
    switch (result) {
    case WaveOk:
        return QStringLiteral("The operation completed successfully.");
    case WaveError:
        return QStringLiteral("The sound input failed for an unknown reason.");
    case WaveBadDeviceId:
        return QStringLiteral("There is no sound input device with this number.");
    case WaveNotEnabled:
        return QStringLiteral("The sound input device is present but cannot be used now.");
    case WaveAllocated:
        return QStringLiteral("The sound input device is already in use.");
    case WaveInvalidHandle:
        return QStringLiteral("The sound input device is not open.");
    case WaveNoDriver:
        return QStringLiteral("No sound system is available.");
    case WaveNoMemory:
        return QStringLiteral("Not enough memory for the sound input.");
    case WaveNotSupported:
        return QStringLiteral("The sound input device does not support this operation.");
    case WaveInvalidParam:
        return QStringLiteral("A sound buffer without memory was handed to the device.");
    case WaveBadFormat:
        return QStringLiteral("The sound input device cannot record 16-bit mono at this rate.");
    case WaveStillQueued:
        return QStringLiteral("The sound buffer is still queued on the device.");
    case WaveUnprepared:
        return QStringLiteral("The sound buffer has not been prepared.");
    default:
        return QStringLiteral("Unknown sound input error %1.").arg(static_cast<int>(result));
    }
}

} // namespace

void WaveRouter::customEvent(QEvent* event) {
    if (event->type() != NoticeEventType()) return;
    input_.Dispatch(static_cast<NoticeEvent*>(event)->Notice());
}

// The bookkeeping of one open device; it is also the sink its driver writes into.
struct WaveInput::OpenDevice : WaveSink {
    WaveInput* Layer = nullptr;
    WaveHandle Handle = 0;
    WaveCallback Target;
    std::deque<WaveBuffer*> Pending;
    bool Started = false;
    int32_t SampleRate = 0;
    int64_t Written = 0; // samples written since the open
    // The stream's time: sample AnchorIndex was taken at AnchorMs.
    bool Anchored = false;
    bool DeviceKeepsTime = false;
    double AnchorMs = 0;
    int64_t AnchorIndex = 0;
    std::deque<std::pair<int64_t, int64_t>> Fills; // [begin, end) of fill to come
    // Declared last: destroyed first, so the driver never outlives its sink.
    std::unique_ptr<WaveDriver> Driver;

    size_t Write(const int16_t* samples, size_t count) override {
        if (!Started || count == 0) return 0;
        // Without a time from the device: the samples of one write arrived by
        // now, the last one now.
        if (!DeviceKeepsTime) {
            const double nowMs = double(QDateTime::currentMSecsSinceEpoch());
            const int64_t last = Written + static_cast<int64_t>(count) - 1;
            if (!Anchored || std::fabs(TimeOf(last) - nowMs) > double(ReanchorMs)) {
                AnchorMs = nowMs;
                AnchorIndex = last;
                Anchored = true;
            }
        }
        size_t stored = 0;
        while (stored < count && !Pending.empty()) {
            WaveBuffer* head = Pending.front();
            const size_t room = (head->BufferLength - head->BytesRecorded) / sizeof(int16_t);
            const size_t n = std::min(room, count - stored);
            NoteFill(*head, Written + static_cast<int64_t>(stored), n);
            std::memcpy(reinterpret_cast<char*>(head->Data) + head->BytesRecorded, samples + stored,
                        n * sizeof(int16_t));
            head->BytesRecorded += static_cast<uint32_t>(n * sizeof(int16_t));
            stored += n;
            if (head->BufferLength - head->BytesRecorded < sizeof(int16_t))
                ReturnHead(Written + static_cast<int64_t>(stored) - 1);
        }
        Written += static_cast<int64_t>(count);
        while (!Fills.empty() && Fills.front().second <= Written)
            Fills.pop_front();
        return stored;
    }

    void FinishCurrent() override {
        if (!Pending.empty()) ReturnHead(Written - 1);
    }

    void EndOfInput() override {
        if (CurrentBytes() > 0) ReturnHead(Written - 1);
        Layer->Post(WaveNotice{WaveNoticeKind::End, Handle, nullptr});
    }

    void MarkFill(size_t offset, size_t count) override {
        if (count == 0) return;
        const int64_t begin = Written + static_cast<int64_t>(offset);
        Fills.emplace_back(begin, begin + static_cast<int64_t>(count));
    }

    void SetTime(double wallMs) override {
        AnchorMs = wallMs;
        AnchorIndex = Written;
        Anchored = true;
        DeviceKeepsTime = true;
    }

    // Wall-clock time of the sample numbered `index` since the open.
    double TimeOf(int64_t index) const {
        return AnchorMs + double(index - AnchorIndex) * 1000.0 / SampleRate;
    }

    // The fill among the `n` samples from `first` on that go into `buffer`.
    void NoteFill(WaveBuffer& buffer, int64_t first, size_t n) {
        const uint32_t at = buffer.BytesRecorded / sizeof(int16_t);
        for (const auto& [begin, end] : Fills) {
            const int64_t from = std::max(begin, first);
            const int64_t to = std::min(end, first + static_cast<int64_t>(n));
            if (from >= to) continue;
            const auto lo = static_cast<uint32_t>(at + (from - first));
            const auto hi = static_cast<uint32_t>(at + (to - first));
            buffer.FillFirst = buffer.FillSamples > 0 ? std::min(buffer.FillFirst, lo) : lo;
            buffer.FillEnd = std::max(buffer.FillEnd, hi);
            buffer.FillSamples += hi - lo;
        }
    }

    size_t QueuedCount() const override { return Pending.size(); }

    size_t CurrentBytes() const override {
        return Pending.empty() ? 0 : Pending.front()->BytesRecorded;
    }

    // Returns the buffer being filled; `last` numbers its last sample.
    void ReturnHead(int64_t last) {
        WaveBuffer* head = Pending.front();
        Pending.pop_front();
        head->Flags = (head->Flags & ~WaveBufferQueued) | WaveBufferDone;
        head->DoneWallMs =
            Anchored ? std::llround(TimeOf(last)) : QDateTime::currentMSecsSinceEpoch();
        Layer->Post(WaveNotice{WaveNoticeKind::Data, Handle, head});
    }
};

WaveInput::WaveInput(bool withSoundCards, SoundSystemChoice soundSystem)
    : withSoundCards_(withSoundCards), choice_(soundSystem),
      router_(std::make_unique<WaveRouter>(*this)) {
    DeviceCount();
}

WaveInput::~WaveInput() {
    // Unregistered before any driver goes: a notice dispatched while one is destroyed
    // finds no open device. Drivers first: they may still hold their sinks.
    auto closing = std::move(open_);
    open_.clear();
    for (auto& entry : closing)
        entry.second->Driver.reset();
}

int32_t WaveInput::AddDevice(std::unique_ptr<WaveDevice> device) {
    extraDevices_.push_back(std::move(device));
    return static_cast<int32_t>(cardNames_.size() + extraDevices_.size() - 1);
}

int32_t WaveInput::DeviceCount() {
    cardNames_.clear();
    cardIds_.clear();
    cards_ = nullptr;
    if (withSoundCards_ && choice_ != SoundSystemChoice::QtMultimedia) {
        if (!pulse_) pulse_ = MakePulseSystem(*this);
        if (pulse_->List(cardNames_, cardIds_)) cards_ = pulse_.get();
    }
    if (withSoundCards_ && !cards_ && choice_ != SoundSystemChoice::PulseAudio) {
        if (!qtMultimedia_) qtMultimedia_ = MakeQtMultimediaSystem();
        if (qtMultimedia_->List(cardNames_, cardIds_)) cards_ = qtMultimedia_.get();
    }
    return static_cast<int32_t>(cardNames_.size() + extraDevices_.size());
}

QString WaveInput::SoundSystemLabel() const {
    return cards_ ? cards_->Label() : QString();
}

QString WaveInput::DeviceName(int32_t deviceId) const {
    if (deviceId < 0) return {};
    const auto index = static_cast<size_t>(deviceId);
    if (index < cardNames_.size()) return cardNames_[index];
    if (index - cardNames_.size() < extraDevices_.size())
        return extraDevices_[index - cardNames_.size()]->Name();
    return {};
}

const StreamCounts* WaveInput::NetworkCounts(int32_t deviceId) const {
    if (deviceId < 0) return nullptr;
    const auto index = static_cast<size_t>(deviceId);
    if (index < cardNames_.size() || index - cardNames_.size() >= extraDevices_.size())
        return nullptr;
    return extraDevices_[index - cardNames_.size()]->NetworkCounts();
}

QString WaveInput::DeviceSystemName(int32_t deviceId) const {
    if (deviceId < 0 || static_cast<size_t>(deviceId) >= cardIds_.size()) return {};
    return QString::fromUtf8(cardIds_[static_cast<size_t>(deviceId)]);
}

WaveResult WaveInput::Open(WaveHandle& handle, int32_t deviceId, int32_t sampleRate,
                           WaveCallback target) {
    handle = 0;
    if (sampleRate <= 0) return WaveBadFormat;
    auto device = std::make_unique<OpenDevice>();
    device->Layer = this;
    device->Target = std::move(target);
    device->SampleRate = sampleRate;
    WaveResult result = WaveOk;
    if (deviceId == -1) {
        if (!withSoundCards_) return WaveBadDeviceId;
        if (!cards_) return WaveNoDriver;
        device->Driver = cards_->Open(QByteArray(), sampleRate, *device, result);
    } else if (deviceId >= 0 && static_cast<size_t>(deviceId) < cardIds_.size()) {
        device->Driver = cards_->Open(cardIds_[deviceId], sampleRate, *device, result);
    } else if (deviceId >= 0 &&
               static_cast<size_t>(deviceId) - cardIds_.size() < extraDevices_.size()) {
        device->Driver =
            extraDevices_[deviceId - cardIds_.size()]->Open(sampleRate, *device, result);
    } else {
        return WaveBadDeviceId;
    }
    if (!device->Driver) return result == WaveOk ? WaveError : result;
    device->Handle = nextHandle_++;
    handle = device->Handle;
    open_.emplace(handle, std::move(device));
    Post(WaveNotice{WaveNoticeKind::Open, handle, nullptr});
    return WaveOk;
}

WaveInput::OpenDevice* WaveInput::Find(WaveHandle handle) const {
    const auto it = open_.find(handle);
    return it == open_.end() ? nullptr : it->second.get();
}

bool WaveInput::IsOpen(WaveHandle handle) const {
    return Find(handle) != nullptr;
}

WaveResult WaveInput::CheckOp(OpenDevice& device, WaveOp op) const {
    return device.Driver->Check(op);
}

WaveResult WaveInput::Prepare(WaveHandle handle, WaveBuffer& buffer) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Prepare); r != WaveOk) return r;
    if (!buffer.Data || buffer.BufferLength < sizeof(int16_t)) return WaveInvalidParam;
    buffer.Flags |= WaveBufferPrepared;
    return WaveOk;
}

WaveResult WaveInput::Unprepare(WaveHandle handle, WaveBuffer& buffer) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Unprepare); r != WaveOk) return r;
    if (buffer.Flags & WaveBufferQueued) return WaveStillQueued;
    buffer.Flags &= ~WaveBufferPrepared;
    return WaveOk;
}

WaveResult WaveInput::Queue(WaveHandle handle, WaveBuffer& buffer) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Queue); r != WaveOk) return r;
    if (!(buffer.Flags & WaveBufferPrepared)) return WaveUnprepared;
    if (buffer.Flags & WaveBufferQueued) return WaveStillQueued;
    if (!buffer.Data || buffer.BufferLength < sizeof(int16_t)) return WaveInvalidParam;
    buffer.BytesRecorded = 0;
    buffer.FillSamples = buffer.FillFirst = buffer.FillEnd = 0;
    buffer.Flags = (buffer.Flags & ~WaveBufferDone) | WaveBufferQueued;
    device->Pending.push_back(&buffer);
    return WaveOk;
}

WaveResult WaveInput::Start(WaveHandle handle) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Start); r != WaveOk) return r;
    if (device->Started) return WaveOk;
    const WaveResult r = device->Driver->Start();
    if (r == WaveOk) device->Started = true;
    return r;
}

WaveResult WaveInput::Stop(WaveHandle handle) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Stop); r != WaveOk) return r;
    if (device->Started) device->Driver->Stop();
    device->Started = false;
    if (!device->Pending.empty() && device->Pending.front()->BytesRecorded > 0)
        device->ReturnHead(QDateTime::currentMSecsSinceEpoch());
    return WaveOk;
}

void WaveInput::ReturnAll(OpenDevice& device) {
    if (device.Started) device.Driver->Stop();
    device.Started = false;
    while (!device.Pending.empty())
        device.ReturnHead(QDateTime::currentMSecsSinceEpoch());
}

WaveResult WaveInput::Reset(WaveHandle handle) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Reset); r != WaveOk) return r;
    ReturnAll(*device);
    return WaveOk;
}

WaveResult WaveInput::Close(WaveHandle handle) {
    OpenDevice* device = Find(handle);
    if (!device) return WaveInvalidHandle;
    if (const WaveResult r = CheckOp(*device, WaveOp::Close); r != WaveOk) return r;
    // The handle is unregistered before the driver is stopped and destroyed: either may
    // run a nested event loop (~QAudioSource does), and the notices dispatched there,
    // this device's included, must find it closed.
    const std::unique_ptr<OpenDevice> closing = std::move(open_.extract(handle).mapped());
    // Buffers still queued come back (their notices are dropped with the handle), so
    // the device never keeps a reference to memory its owner may now release.
    ReturnAll(*closing);
    closing->Driver.reset();
    return WaveOk;
}

QString WaveInput::ErrorText(WaveResult result) const {
    QString text;
    const auto index = static_cast<size_t>(result) - WaveFirstRegistered;
    if (result >= WaveFirstRegistered && index < registeredTexts_.size())
        text = registeredTexts_[index];
    else
        text = StandardText(result);
    return text.left(MaxErrorTextChars);
}

WaveResult WaveInput::RegisterErrorText(const QString& text) {
    registeredTexts_.push_back(text);
    return static_cast<WaveResult>(WaveFirstRegistered + registeredTexts_.size() - 1);
}

void WaveInput::Post(const WaveNotice& notice) {
    QCoreApplication::postEvent(router_.get(), new NoticeEvent(notice));
}

void WaveInput::Dispatch(const WaveNotice& notice) {
    // A notice of a closed device names a buffer its owner may have released: drop it
    // before anything touches the buffer.
    const OpenDevice* device = Find(notice.Device);
    if (!device) return;
    // Copy the target: the handler may close the device and so destroy the original.
    const WaveCallback target = device->Target;
    if (target) target(notice);
}

} // namespace io
