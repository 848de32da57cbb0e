// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/pulse_source.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#ifndef PROPMON_VERSION
#define PROPMON_VERSION "0"
#endif

namespace io {

namespace {

constexpr int ConnectTimeoutMs = 3000;
constexpr int OperationTimeoutMs = 3000;
// Samples waiting for the main thread: beyond this (109 s at 9600/s, as much as the
// 1024 queued buffers hold) the main thread has stopped reading and they are dropped.
constexpr size_t MaxWaitingSamples = size_t{1} << 20;
constexpr uint32_t FragmentBytes = 1024 * sizeof(int16_t); // one capture buffer

constexpr const char* StreamName = "STANAG 4285 capture";
// Production: a measuring application that records, neither phone nor music.
constexpr const char* MediaRole = "production";

class MainLoopLock {
  public:
    explicit MainLoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~MainLoopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

pa_proplist* ClientProperties() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "propmon");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "propmon");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "propmon");
    pa_proplist_sets(props, PA_PROP_APPLICATION_VERSION, PROPMON_VERSION);
    return props;
}

pa_proplist* StreamProperties() {
    pa_proplist* props = ClientProperties();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, StreamName);
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, MediaRole);
    // PulseAudio would remember the route per media role, shared with every other
    // recorder of that role; propmon keeps an entry of its own.
    pa_proplist_sets(props, "module-stream-restore.id", "source-output-by-application-id:propmon");
    return props;
}

// One connection to the server: a threaded main loop and a context. Shared by the
// device list and the open streams; a connection whose server went away is replaced
// by a new one at the next list or open.
class PulseConnection {
  public:
    // Null when no server answers within the time.
    static std::shared_ptr<PulseConnection> Connect() {
        auto connection = std::shared_ptr<PulseConnection>(new PulseConnection);
        return connection->Start() ? connection : nullptr;
    }

    ~PulseConnection() {
        if (!loop_) return;
        pa_threaded_mainloop_stop(loop_);
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_threaded_mainloop_free(loop_);
    }

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* Loop() const { return loop_; }
    pa_context* Context() const { return context_; }

    // With the loop locked.
    bool Ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

    // With the loop locked: waits until done() holds or the time is up. Every
    // callback of this connection signals the loop, so done() is looked at again
    // after each.
    bool Wait(const std::function<bool()>& done, int timeoutMs) {
        if (done()) return true;
        timedOut_ = false;
        pa_time_event* timer = pa_context_rttime_new(
            context_, pa_rtclock_now() + pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
                auto* connection = static_cast<PulseConnection*>(self);
                connection->timedOut_ = true;
                pa_threaded_mainloop_signal(connection->loop_, 0);
            },
            this);
        while (!done() && !timedOut_)
            pa_threaded_mainloop_wait(loop_);
        if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
        return done();
    }

    // With the loop locked: waits for an operation to finish; false on time-out.
    bool Finish(pa_operation* operation) {
        if (!operation) return false;
        const bool done =
            Wait([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                 OperationTimeoutMs);
        if (!done) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done;
    }

    void Signal() { pa_threaded_mainloop_signal(loop_, 0); }

  private:
    PulseConnection() = default;

    bool Start() {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return false;
        pa_proplist* props = ClientProperties();
        context_ =
            pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "propmon", props);
        pa_proplist_free(props);
        if (!context_) return false;
        pa_context_set_state_callback(
            context_,
            [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->Signal(); }, this);
        // Never start a server of our own: where none runs, Qt Multimedia takes over.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return false;
        if (pa_threaded_mainloop_start(loop_) < 0) return false;
        MainLoopLock lock(loop_);
        Wait(
            [this] {
                const pa_context_state_t state = pa_context_get_state(context_);
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
            },
            ConnectTimeoutMs);
        return Ready();
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool timedOut_ = false;
};

// Failure codes the sound server causes, registered once with the wave layer.
struct PulseTexts {
    WaveResult ServerGone = WaveNoDriver;
    WaveResult SourceGone = WaveNotEnabled;
};

// Receives the "samples waiting" events on the main thread.
class Delivery : public QObject {
  public:
    explicit Delivery(std::function<void()> deliver) : deliver_(std::move(deliver)) {}
    static QEvent::Type Type() {
        static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return Type;
    }

  protected:
    void customEvent(QEvent* event) override {
        if (event->type() == Type()) deliver_();
    }

  private:
    std::function<void()> deliver_;
};

class PulseDriver : public WaveDriver {
  public:
    PulseDriver(std::shared_ptr<PulseConnection> connection, WaveSink& sink,
                const PulseTexts& texts)
        : connection_(std::move(connection)), sink_(sink), texts_(texts),
          delivery_([this] { Deliver(); }) {}

    ~PulseDriver() override {
        if (!stream_) return;
        MainLoopLock lock(connection_->Loop());
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        // No callback runs from here on; pending deliveries die with delivery_.
    }

    // Connects the record stream, corked, to `source` (empty: the server's choice).
    WaveResult Connect(const QByteArray& source, int32_t sampleRate) {
        MainLoopLock lock(connection_->Loop());
        const pa_sample_spec format{PA_SAMPLE_S16LE, static_cast<uint32_t>(sampleRate), 1};
        if (!pa_sample_spec_valid(&format)) return WaveBadFormat;
        pa_channel_map map;
        pa_channel_map_init_mono(&map);
        pa_proplist* props = StreamProperties();
        stream_ =
            pa_stream_new_with_proplist(connection_->Context(), StreamName, &format, &map, props);
        pa_proplist_free(props);
        if (!stream_) return texts_.ServerGone;
        pa_stream_set_state_callback(
            stream_,
            [](pa_stream*, void* self) { static_cast<PulseDriver*>(self)->StateChanged(); }, this);
        pa_stream_set_read_callback(
            stream_,
            [](pa_stream*, size_t, void* self) { static_cast<PulseDriver*>(self)->Readable(); },
            this);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr); // the server's defaults
        attr.fragsize = FragmentBytes;
        auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        // A source chosen by name stays chosen: no silent move to another one.
        if (!source.isEmpty()) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, source.isEmpty() ? nullptr : source.constData(),
                                     &attr, flags) < 0)
            return WaveBadDeviceId;
        connection_->Wait(
            [this] {
                const pa_stream_state_t state = pa_stream_get_state(stream_);
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            ConnectTimeoutMs);
        if (pa_stream_get_state(stream_) == PA_STREAM_READY) return WaveOk;
        return connection_->Ready() ? WaveBadDeviceId : texts_.ServerGone;
    }

    WaveResult Check(WaveOp op) override {
        const bool needsTheStream =
            op == WaveOp::Prepare || op == WaveOp::Queue || op == WaveOp::Start;
        return failure_ != WaveOk && needsTheStream ? failure_ : WaveOk;
    }

    WaveResult Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            waiting_.clear(); // recorded before the start: not ours to deliver
        }
        MainLoopLock lock(connection_->Loop());
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) return WaveNotEnabled;
        // Nothing left from before a stop.
        if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr))
            pa_operation_unref(flush);
        if (!connection_->Finish(pa_stream_cork(stream_, 0, OperationDone, this)))
            return WaveNotEnabled;
        return WaveOk;
    }

    WaveResult Stop() override {
        {
            MainLoopLock lock(connection_->Loop());
            if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
                connection_->Finish(pa_stream_cork(stream_, 1, OperationDone, this));
                Readable(); // what the server sent before the cork
            }
        }
        Deliver();
        return WaveOk;
    }

  private:
    static void OperationDone(pa_stream*, int, void* self) {
        static_cast<PulseDriver*>(self)->connection_->Signal();
    }

    // libpulse's thread, loop locked.
    void StateChanged() {
        connection_->Signal();
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        if (PA_STREAM_IS_GOOD(state) || state == PA_STREAM_UNCONNECTED) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            failed_ = connection_->Ready() ? texts_.SourceGone : texts_.ServerGone;
        }
        Post();
    }

    // libpulse's thread, loop locked: moves what the server sent into the queue.
    void Readable() {
        bool any = false;
        while (pa_stream_readable_size(stream_) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
            const size_t samples = bytes / sizeof(int16_t);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (waiting_.size() + samples <= MaxWaitingSamples) {
                    const size_t at = waiting_.size();
                    // A hole in the stream is silence of its length: time stays true.
                    waiting_.resize(at + samples, 0);
                    if (data) std::memcpy(waiting_.data() + at, data, samples * sizeof(int16_t));
                }
            }
            pa_stream_drop(stream_);
            any = true;
        }
        if (any) Post();
    }

    // Either thread: asks the main thread to deliver, once until it has.
    void Post() {
        if (posted_.exchange(true)) return;
        QCoreApplication::postEvent(&delivery_, new QEvent(Delivery::Type()));
    }

    // Main thread: the waiting samples go into the buffers.
    void Deliver() {
        posted_ = false;
        WaveResult failed = WaveOk;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            delivering_.swap(waiting_);
            failed = failed_;
        }
        if (!delivering_.empty()) sink_.Write(delivering_.data(), delivering_.size());
        delivering_.clear();
        // The stream has died (source removed, server gone): read no more, and hand
        // the cycle the buffer being filled; queueing it again fails, which ends the
        // capture with its message.
        if (failed != WaveOk && failure_ == WaveOk) {
            failure_ = failed;
            sink_.FinishCurrent();
        }
    }

    std::shared_ptr<PulseConnection> connection_;
    WaveSink& sink_;
    PulseTexts texts_;
    pa_stream* stream_ = nullptr;
    std::mutex mutex_;
    std::vector<int16_t> waiting_; // guarded by mutex_
    WaveResult failed_ = WaveOk;   // guarded by mutex_
    std::vector<int16_t> delivering_;
    WaveResult failure_ = WaveOk; // main thread: the stream's failure, once delivered
    std::atomic<bool> posted_{false};
    Delivery delivery_; // last: destroyed first, with any delivery still posted
};

class PulseSystem : public SoundSystem {
  public:
    explicit PulseSystem(WaveInput& wave) {
        texts_.ServerGone = wave.RegisterErrorText(
            QStringLiteral("The sound server has gone away (PulseAudio or PipeWire)."));
        texts_.SourceGone =
            wave.RegisterErrorText(QStringLiteral("The sound source has gone away."));
    }

    bool List(std::vector<QString>& names, std::vector<QByteArray>& ids) override {
        if (!Connection()) return false;
        struct Listing {
            PulseConnection* Connection;
            std::vector<QString>* Names;
            std::vector<QByteArray>* Ids;
            bool Done = false;
        } listing{connection_.get(), &names, &ids};
        names.push_back(PulseDefaultEntryName());
        ids.push_back(QByteArray());
        MainLoopLock lock(connection_->Loop());
        pa_operation* operation = pa_context_get_source_info_list(
            connection_->Context(),
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* l = static_cast<Listing*>(data);
                if (eol || !info) {
                    l->Done = true;
                } else {
                    l->Names->push_back(
                        QString::fromUtf8(info->description ? info->description : info->name));
                    l->Ids->push_back(QByteArray(info->name));
                }
                l->Connection->Signal();
            },
            &listing);
        const bool listed = connection_->Finish(operation) && listing.Done;
        if (!listed) {
            // Nothing half-listed: a server that stops answering is no server.
            names.clear();
            ids.clear();
        }
        return listed;
    }

    std::unique_ptr<WaveDriver> Open(const QByteArray& id, int32_t sampleRate, WaveSink& sink,
                                     WaveResult& result) override {
        if (!Connection()) {
            result = texts_.ServerGone;
            return nullptr;
        }
        auto driver = std::make_unique<PulseDriver>(connection_, sink, texts_);
        result = driver->Connect(id, sampleRate);
        if (result != WaveOk) return nullptr;
        return driver;
    }

    QString Label() const override { return QStringLiteral("PulseAudio"); }

  private:
    // The connection, made anew when there is none or its server went away.
    PulseConnection* Connection() {
        if (connection_) {
            bool ready = false;
            {
                MainLoopLock lock(connection_->Loop());
                ready = connection_->Ready();
            }
            if (ready) return connection_.get();
            connection_.reset();
        }
        connection_ = PulseConnection::Connect();
        return connection_.get();
    }

    PulseTexts texts_;
    std::shared_ptr<PulseConnection> connection_;
};

} // namespace

QString PulseDefaultEntryName() {
    return QStringLiteral("Default source (the sound server's choice)");
}

std::unique_ptr<SoundSystem> MakePulseSystem(WaveInput& wave) {
    return std::make_unique<PulseSystem>(wave);
}

} // namespace io
