// SPDX-License-Identifier: GPL-3.0-or-later
// Real sound servers of our own for the tests and benchmarks: a private PulseAudio,
// or a private PipeWire session (a session bus, pipewire, wireplumber and
// pipewire-pulse), each in a temporary runtime folder, started and stopped by PID.
// Clients reach them through the environment (PULSE_SERVER, ...), never the user's.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include <signal.h>

namespace io::testing {

enum class ServerKind { PulseAudio, PipeWire };
const char* KindName(ServerKind kind);

// Stops a process we started, by its PID, and waits for it.
void StopProcess(QProcess& process, int signal = SIGTERM);

class PrivateSoundServer {
  public:
    explicit PrivateSoundServer(ServerKind kind);
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Empty on success, else why the server cannot run here.
    QString Start();
    // The pulse server dies at once (SIGKILL): PulseAudio itself, or pipewire-pulse.
    void Kill();

    ServerKind Kind() const { return kind_; }
    QString Folder() const { return dir_.path(); }
    QProcessEnvironment Environment() const;
    // Points this process's libpulse (and Qt Multimedia) at the server.
    void UseInThisProcess() const;

    // Runs a client program against the server; its exit code, -1 on a crash or
    // time-out. Standard output goes to `output` when given.
    int Run(const QString& program, const QStringList& args, QString* output = nullptr,
            int timeoutMs = 5000) const;
    int Pactl(const QStringList& args, QString* output = nullptr) const {
        return Run(QStringLiteral("pactl"), args, output);
    }
    // A null sink with this description; its module index, or -1.
    int LoadNullSink(const QString& name, const QString& description, int rate = 48000);
    // Plays a file into a sink with paplay, in the background until it ends.
    void Play(const QString& sink, const QString& file);
    void StopPlaying();
    // The property `key` of the first record stream of application `app`, with the
    // name of the source it records from in `source`; empty when there is none.
    QString StreamProperty(const QString& key, QString* source = nullptr) const;
    // The index of propmon's record stream, -1 when there is none.
    int StreamIndex() const;
    // Makes `source` the default source and waits until the server reports it;
    // false if it never does. pipewire-pulse applies the change over the asking
    // pactl's own connection and can lose it when pactl quits at once, so it is
    // asked again until it shows.
    bool SetDefaultSource(const QString& source) const;

  private:
    QString StartPulseAudio();
    QString StartPipeWire();
    QString WaitForAnswer(QProcess& server, const QString& name);
    QProcess& Spawn(const QString& program, const QStringList& args);

    ServerKind kind_;
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<QProcess>> processes_; // in start order
    QProcess* pulseServer_ = nullptr;
    std::vector<std::unique_ptr<QProcess>> players_;
};

// A STANAG 4285 recording of the built-in test signal (NATO at 9600 samples/s), as
// WAV; with outRate it is converted with sox to that rate. False on failure.
bool WriteTestRecording(const QString& path, double seconds);
// Raw 16-bit little-endian mono of the same signal at `rate` (through sox).
bool WriteRawTestSignal(const QString& path, double seconds, int rate);

} // namespace io::testing
