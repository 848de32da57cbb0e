// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/tests/sound_servers.h"

#include "s4285gen/s4285gen.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <sndfile.h>

#include <vector>

namespace io::testing {

const char* KindName(ServerKind kind) {
    return kind == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire";
}

void StopProcess(QProcess& process, int signal) {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process.processId()), signal);
    if (!process.waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(3000);
    }
}

PrivateSoundServer::PrivateSoundServer(ServerKind kind) : kind_(kind) {}

PrivateSoundServer::~PrivateSoundServer() {
    StopPlaying();
    // The last started goes first: pipewire-pulse, wireplumber, pipewire, the bus.
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it)
        StopProcess(**it);
}

QProcessEnvironment PrivateSoundServer::Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QDir dir(dir_.path());
    env.insert("XDG_RUNTIME_DIR", dir.path());
    env.insert("HOME", dir.path());
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_STATE_HOME", dir.filePath("state"));
    env.insert("PULSE_RUNTIME_PATH", dir.filePath("pulse"));
    env.insert("PULSE_STATE_PATH", dir.filePath("pulse-state"));
    env.insert("PULSE_CLIENTCONFIG", dir.filePath("client.conf"));
    env.insert("PULSE_SERVER", "unix:" + dir.filePath("pulse/native"));
    env.insert("PIPEWIRE_RUNTIME_DIR", dir.path());
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath("bus"));
    env.remove("DBUS_SYSTEM_BUS_ADDRESS");
    return env;
}

void PrivateSoundServer::UseInThisProcess() const {
    const QProcessEnvironment env = Environment();
    for (const char* name : {"PULSE_SERVER", "PULSE_CLIENTCONFIG", "PULSE_RUNTIME_PATH"})
        qputenv(name, env.value(name).toUtf8());
}

QProcess& PrivateSoundServer::Spawn(const QString& program, const QStringList& args) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(Environment());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(program, args);
    processes_.push_back(std::move(process));
    return *processes_.back();
}

QString PrivateSoundServer::Start() {
    if (!dir_.isValid()) return "no temporary folder";
    if (QStandardPaths::findExecutable("pactl").isEmpty() ||
        QStandardPaths::findExecutable("paplay").isEmpty())
        return "pactl/paplay (pulseaudio-utils) are not installed";
    QDir(dir_.path()).mkpath("pulse");
    QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Clients must never start a server of their own (autospawn) or find another.
    QFile config(QDir(dir_.path()).filePath("client.conf"));
    if (!config.open(QIODevice::WriteOnly)) return "cannot write client.conf";
    config.write("autospawn = no\n");
    config.close();
    return kind_ == ServerKind::PulseAudio ? StartPulseAudio() : StartPipeWire();
}

QString PrivateSoundServer::StartPulseAudio() {
    const QString pulse = QStandardPaths::findExecutable("pulseaudio");
    if (pulse.isEmpty()) return "pulseaudio is not installed";
    pulseServer_ = &Spawn(
        pulse, {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
                "--system=false", "--log-target=stderr", "-L",
                "module-native-protocol-unix socket=" + QDir(dir_.path()).filePath("pulse/native") +
                    " auth-anonymous=1",
                "-L", "module-stream-restore restore_device=true", "-L", "module-always-sink"});
    if (!pulseServer_->waitForStarted(5000)) return "pulseaudio did not start";
    return WaitForAnswer(*pulseServer_, "pulseaudio");
}

QString PrivateSoundServer::StartPipeWire() {
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"})
        if (QStandardPaths::findExecutable(program).isEmpty())
            return QString(program) + " is not installed";
    // A session bus of our own (wireplumber wants one); there is no system bus in a
    // container, and the modules that would use it (rtkit, logind) are optional.
    QProcess& bus =
        Spawn("dbus-daemon", {"--session", "--nofork", "--nopidfile",
                              "--address=unix:path=" + QDir(dir_.path()).filePath("bus")});
    if (!bus.waitForStarted(5000)) return "dbus-daemon did not start";
    for (int attempt = 0; attempt < 50 && !QFile::exists(QDir(dir_.path()).filePath("bus"));
         ++attempt)
        QThread::msleep(20);
    QProcess& pipewire = Spawn("pipewire", {});
    if (!pipewire.waitForStarted(5000)) return "pipewire did not start";
    for (int attempt = 0; attempt < 100 && !QFile::exists(QDir(dir_.path()).filePath("pipewire-0"));
         ++attempt) {
        if (pipewire.state() == QProcess::NotRunning)
            return "pipewire exited: " + QString::fromLocal8Bit(pipewire.readAll()).trimmed();
        QThread::msleep(20);
    }
    QProcess& wireplumber = Spawn("wireplumber", {});
    if (!wireplumber.waitForStarted(5000)) return "wireplumber did not start";
    pulseServer_ = &Spawn("pipewire-pulse", {});
    if (!pulseServer_->waitForStarted(5000)) return "pipewire-pulse did not start";
    return WaitForAnswer(*pulseServer_, "pipewire-pulse");
}

QString PrivateSoundServer::WaitForAnswer(QProcess& server, const QString& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (server.state() == QProcess::NotRunning)
            return name + " exited: " + QString::fromLocal8Bit(server.readAll()).trimmed();
        if (Pactl({"info"}) == 0) return {};
        QThread::msleep(50);
    }
    return name + " did not answer: " + QString::fromLocal8Bit(server.readAll()).trimmed();
}

void PrivateSoundServer::Kill() {
    if (pulseServer_) StopProcess(*pulseServer_, SIGKILL);
}

int PrivateSoundServer::Run(const QString& program, const QStringList& args, QString* output,
                            int timeoutMs) const {
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.start(program, args);
    if (!process.waitForFinished(timeoutMs)) {
        StopProcess(process);
        return -1;
    }
    if (output) *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int PrivateSoundServer::LoadNullSink(const QString& name, const QString& description, int rate) {
    QString out;
    const int status =
        Pactl({"load-module", "module-null-sink", "sink_name=" + name, QString("rate=%1").arg(rate),
               "channels=1", "sink_properties='device.description=\"" + description + "\"'"},
              &out);
    bool ok = false;
    const int module = out.trimmed().toInt(&ok);
    return status == 0 && ok ? module : -1;
}

void PrivateSoundServer::Play(const QString& sink, const QString& file) {
    auto player = std::make_unique<QProcess>();
    player->setProcessEnvironment(Environment());
    player->start("paplay", {"--device=" + sink, file});
    player->waitForStarted(5000);
    players_.push_back(std::move(player));
}

void PrivateSoundServer::StopPlaying() {
    for (auto& player : players_)
        StopProcess(*player);
    players_.clear();
}

namespace {

QJsonArray PactlList(const PrivateSoundServer& server, const QString& what) {
    QString out;
    if (server.Pactl({"--format=json", "list", what}, &out) != 0) return {};
    return QJsonDocument::fromJson(out.toUtf8()).array();
}

QJsonObject PropmonStream(const PrivateSoundServer& server) {
    for (const QJsonValue& value : PactlList(server, "source-outputs")) {
        const QJsonObject stream = value.toObject();
        if (stream["properties"].toObject()["application.name"].toString() == "propmon")
            return stream;
    }
    return {};
}

} // namespace

QString PrivateSoundServer::StreamProperty(const QString& key, QString* source) const {
    const QJsonObject stream = PropmonStream(*this);
    if (stream.isEmpty()) return {};
    if (source) {
        source->clear();
        for (const QJsonValue& value : PactlList(*this, "sources"))
            if (value.toObject()["index"].toInt() == stream["source"].toInt())
                *source = value.toObject()["name"].toString();
    }
    return stream["properties"].toObject()[key].toString();
}

int PrivateSoundServer::StreamIndex() const {
    const QJsonObject stream = PropmonStream(*this);
    return stream.isEmpty() ? -1 : stream["index"].toInt();
}

bool PrivateSoundServer::SetDefaultSource(const QString& source) const {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Pactl({"set-default-source", source}) != 0) return false;
        for (int check = 0; check < 10; ++check) {
            QString current;
            if (Pactl({"get-default-source"}, &current) == 0 && current.trimmed() == source)
                return true;
            QThread::msleep(100);
        }
    }
    return false;
}

bool WriteTestRecording(const QString& path, double seconds) {
    s4285gen::Generator generator(s4285gen::NatoConfig());
    SF_INFO info{};
    info.samplerate = 9600;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) return false;
    std::vector<int16_t> samples(static_cast<size_t>(seconds * 9600));
    generator.Generate(samples.data(), samples.size());
    const auto written =
        sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return written == static_cast<sf_count_t>(samples.size());
}

bool WriteRawTestSignal(const QString& path, double seconds, int rate) {
    const QString wav = path + ".wav";
    if (!WriteTestRecording(wav, seconds)) return false;
    const int status = QProcess::execute("sox", {wav, "-t", "raw", "-r", QString::number(rate),
                                                 "-e", "signed", "-b", "16", "-c", "1", path});
    QFile::remove(wav);
    return status == 0;
}

} // namespace io::testing
