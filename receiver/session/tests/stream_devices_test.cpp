// SPDX-License-Identifier: GPL-3.0-or-later
// Sample streams from other programs, end to end through real sockets and pipes:
// a sender thread streams a STANAG 4285 signal at 48000 samples/s in UDP datagrams
// with deliberate losses, a held-back (late) datagram and malformed ones; sox pipes
// a recording into a stream device as raw 16-bit or float samples. The capture cycle
// feeds the chain, which must stay locked onto the preamble: a loss that were not
// filled with silence of its length would move the peak lag for good.
#include "receiver/io/stream_devices.h"
#include "receiver/io/tests/sound_servers.h"
#include "receiver/session/capture.h"
#include "receiver/session/tests/test_support.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>

extern char** environ;

namespace session::testing {
namespace {

constexpr int StreamRate = 48000;
constexpr int DatagramSamples = 960; // 20 ms

// Peak lags of every block, the silence filled into each and its time.
struct Blocks {
    explicit Blocks(FakeHost& host) {
        host.Hooks.TuneIndicator = [this, &host](int32_t) {
            const dsp::PeakState& peak = host.OwnChain->Peak;
            Lags.push_back(peak.PeakLag);
            Heard.push_back(peak.SyncPower[static_cast<size_t>(peak.PeakLag)] > 0.0);
        };
        host.Hooks.BlockProcessed = [this, &host](const dsp::ChainState& chain) {
            Fills.push_back(TakeBlockFill(host.State, chain.Intake.ResampleInputPos + 1));
            DoneMs.push_back(host.State.CurrentBufferDoneMs);
        };
    }
    // The lags of blocks [from, to) stay within one lag of `lag`.
    bool StayAt(int32_t lag, size_t from, size_t to) const {
        for (size_t i = from; i < std::min(to, Lags.size()); ++i)
            if (std::abs(Lags[i] - lag) > 1) return false;
        return true;
    }
    // The most blocks in a row that heard something and whose lags stay within
    // one lag of the first (silence peaks at lag 0 block after block).
    size_t LongestStay() const {
        size_t longest = 0;
        for (size_t from = 0, to = 0; from < Lags.size(); from = to) {
            to = from + 1;
            while (to < Lags.size() && Heard[to] && std::abs(Lags[to] - Lags[from]) <= 1)
                ++to;
            if (Heard[from]) longest = std::max(longest, to - from);
        }
        return longest;
    }
    std::string AllLags() const {
        std::string all;
        for (const int32_t lag : Lags)
            all += std::to_string(lag) + ' ';
        return all;
    }
    std::vector<int32_t> Lags;
    std::vector<bool> Heard; // the sync correlation was not zero
    std::vector<int64_t> Fills;
    std::vector<int64_t> DoneMs; // of the buffer each block ended in
};

uint16_t FreeUdpPort() {
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

std::vector<char> ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    return std::vector<char>(bytes.begin(), bytes.end());
}

// Sends `signal` (16-bit LE mono at 48000/s) to 127.0.0.1:port in 20 ms datagrams at
// real-time pace, except: datagrams in `skip` are lost, datagram `held` is sent
// `heldBack` datagrams later, and a malformed datagram goes after those in `bad`.
void SendStream(uint16_t port, const std::vector<char>& signal, const std::set<size_t>& skip,
                size_t held, size_t heldBack, const std::set<size_t>& bad,
                std::atomic<bool>& stop) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send = [&](const char* data, size_t bytes) {
        ::sendto(fd, data, bytes, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    const size_t bytes = DatagramSamples * 2;
    const size_t count = signal.size() / bytes;
    const auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < count && !stop; ++k) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(20000 * (k + 1)));
        if (k == held + heldBack) send(signal.data() + held * bytes, bytes);
        if (k != held && !skip.count(k)) send(signal.data() + k * bytes, bytes);
        if (bad.count(k)) {
            const std::vector<char> odd(1001, 0), oversized(io::MaxDatagramBytes + 2, 0);
            send(odd.data(), odd.size());
            send(oversized.data(), oversized.size());
        }
    }
    ::close(fd);
}

TEST(UdpStream, LossesAreFilledWithSilenceSoTheChainStaysLockedAndAreCounted) {
    QTemporaryDir dir;
    const QString raw = QDir(dir.path()).filePath("s4285.raw");
    if (!io::testing::WriteRawTestSignal(raw, 10.0, StreamRate))
        GTEST_SKIP() << "sox is not installed";
    const std::vector<char> signal = ReadAll(raw);

    std::vector<std::string> events;
    QString status;
    io::StreamReports reports;
    reports.Event = [&](const std::string& line) { events.push_back(line); };
    reports.Status = [&](const QString& text) { status = text; };
    const uint16_t port = FreeUdpPort();
    io::WaveInput wave(false);
    auto device = std::make_unique<io::UdpStreamDevice>(QHostAddress(QHostAddress::LocalHost), port,
                                                        StreamRate, reports);
    const io::UdpStreamDevice& udp = *device;
    CaptureState state;
    state.DeviceId = wave.AddDevice(std::move(device));
    FakeHost host(state, wave);
    Blocks blocks(host);
    host.Initialise();
    ASSERT_TRUE(host.Messages.empty()) << host.Messages.front().toStdString();
    EXPECT_TRUE(RunUntil([&] { return !status.isEmpty(); }, 2000));

    // Lost: two datagrams at 1.6 s, one at 4 s; held back 2.5 s: the one at 6 s (a
    // loss is found within 2 s, so its time is filled before it arrives); malformed:
    // two at 2 s.
    std::atomic<bool> stop{false};
    const int64_t sentMs = QDateTime::currentMSecsSinceEpoch();
    std::thread sender(SendStream, port, std::cref(signal), std::set<size_t>{80, 81, 200}, 300, 125,
                       std::set<size_t>{100}, std::ref(stop));
    const size_t total = signal.size() / 2 / DatagramSamples * DatagramSamples / 5 / 1024;
    const bool enough = RunUntil([&] { return blocks.Lags.size() + 2 >= total; }, 20000);
    stop = true;
    sender.join();
    RunUntil([] { return false; }, 300);
    ReleaseCapture(state, wave);
    ASSERT_TRUE(enough) << blocks.Lags.size() << " of " << total << " blocks";

    const io::StreamCounts& counts = udp.Counts();
    EXPECT_EQ(counts.Gaps, 3);
    EXPECT_EQ(counts.LostSamples, 4 * DatagramSamples); // whole datagrams
    EXPECT_EQ(counts.Late, 1);
    EXPECT_EQ(counts.Bad, 2);
    EXPECT_EQ(counts.Pauses, 0);
    EXPECT_TRUE(status.contains("3 lost")) << status.toStdString();
    // Locked before the first loss (blocks 8..14, 0.85 s to 1.5 s), and on the same
    // lag over the last 12 blocks (from 8.7 s), after every loss was filled.
    ASSERT_GT(blocks.Lags.size(), 40u);
    const int32_t lag = blocks.Lags[12];
    EXPECT_TRUE(blocks.StayAt(lag, 8, 15));
    EXPECT_TRUE(blocks.StayAt(lag, blocks.Lags.size() - 12, blocks.Lags.size()))
        << "the lag moved from " << lag << " to " << blocks.Lags.back();

    // The silence went into the blocks where the data was lost: 1.6 s, 4 s and
    // (the late one) 6 s, blocks 15, 37 and 56; all of it, four datagrams at
    // 9600 samples/s.
    int64_t filled = 0;
    std::vector<size_t> filledBlocks;
    for (size_t i = 0; i < blocks.Fills.size(); ++i) {
        filled += blocks.Fills[i];
        if (blocks.Fills[i] > 0) filledBlocks.push_back(i);
    }
    EXPECT_NEAR(double(filled), 4.0 * DatagramSamples / 5, 4.0);
    ASSERT_FALSE(filledBlocks.empty());
    EXPECT_LE(filledBlocks.size(), 6u);
    EXPECT_NEAR(double(filledBlocks.front()), 15.0, 1.0);
    EXPECT_NEAR(double(filledBlocks.back()), 56.0, 1.0);

    // Blocks are dated by their samples from the first datagram's arrival,
    // not by when they were processed (two seconds later, held).
    const double blockMs = 1024 * 1000.0 / 9600;
    EXPECT_NEAR(double(blocks.DoneMs[0] - sentMs), blockMs, 60.0);
    EXPECT_NEAR(double(blocks.DoneMs.back() - blocks.DoneMs[0]),
                blockMs * double(blocks.DoneMs.size() - 1), 2.0);

    // Each cause told once at once; what followed summed when the input closed.
    int lossLines = 0, lateLines = 0, badLines = 0, sums = 0;
    for (const std::string& line : events) {
        lossLines += line.find("lost, filled with silence") != std::string::npos;
        lateLines += line.find("late datagram") != std::string::npos;
        badLines += line.find("odd length") != std::string::npos;
        sums += line.find(": 2 losses, 40 ms filled in the last 0 min") != std::string::npos;
        sums += line.find(": 1 bad datagrams dropped in the last 0 min") != std::string::npos;
    }
    EXPECT_EQ(lossLines, 1);
    EXPECT_EQ(lateLines, 1);
    EXPECT_EQ(badLines, 1);
    EXPECT_EQ(sums, 2);
}

TEST(UdpStream, PortInUseIsToldAndTheDeviceCannotOpen) {
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0));
    std::vector<std::string> events;
    io::StreamReports reports;
    reports.Event = [&](const std::string& line) { events.push_back(line); };
    io::WaveInput wave(false);
    CaptureState state;
    state.DeviceId = wave.AddDevice(std::make_unique<io::UdpStreamDevice>(
        QHostAddress(QHostAddress::LocalHost), holder.localPort(), StreamRate, reports));
    FakeHost host(state, wave);
    host.Initialise();
    ASSERT_EQ(host.Messages.size(), 1u);
    EXPECT_EQ(host.Messages[0], NoDeviceMessage());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("cannot listen on udp 127.0.0.1:", 0), 0u) << events[0];
}

// PulseAudio's RTP sender (module-rtp-send: L16 stereo at 44100, payload type
// 10) streams the monitor of a sink playing the signal; the RTP input takes the
// left channel and the chain locks and keeps its lag for 40 blocks in a row.
// Not "the last 40": on a loaded machine the sender's own sink can run dry and
// send silence under unbroken sequence numbers, and the lag rightly moves with
// the signal (PipeWire's sender beside six busy loops on two cores: lag 12 for
// 62 blocks, then 473, no packet lost).
TEST(RtpStream, PulseAudioRtpSenderLocksTheChain) {
    io::testing::PrivateSoundServer server(io::testing::ServerKind::PulseAudio);
    const QString why = server.Start();
    if (!why.isEmpty()) GTEST_SKIP() << "no private PulseAudio server: " << why.toStdString();
    ASSERT_GE(server.LoadNullSink("rtp", "RTP out", 44100), 0);
    const uint16_t port = FreeUdpPort();
    ASSERT_EQ(server.Pactl({"load-module", "module-rtp-send", "source=rtp.monitor",
                            "destination_ip=127.0.0.1", QStringLiteral("port=%1").arg(port),
                            "format=s16be", "channels=2", "rate=44100", "loop=1"}),
              0);
    const QString wav = QDir(server.Folder()).filePath("s4285.wav");
    ASSERT_TRUE(io::testing::WriteTestRecording(wav, 15.0));

    std::vector<std::string> events;
    io::StreamReports reports;
    reports.Event = [&](const std::string& line) { events.push_back(line); };
    io::WaveInput wave(false);
    auto device =
        std::make_unique<io::RtpStreamDevice>(QHostAddress(QHostAddress::LocalHost), port,
                                              std::nullopt, 0, io::ChannelChoice::Left, reports);
    const io::RtpStreamDevice& rtp = *device;
    CaptureState state;
    state.DeviceId = wave.AddDevice(std::move(device));
    FakeHost host(state, wave);
    Blocks blocks(host);
    host.Initialise();
    ASSERT_TRUE(host.Messages.empty()) << host.Messages.front().toStdString();
    server.Play("rtp", wav);
    const bool held = RunUntil([&] { return blocks.LongestStay() >= 40; }, 30000);
    server.StopPlaying();
    ReleaseCapture(state, wave);
    EXPECT_TRUE(held) << rtp.Counts().Datagrams << " packets; lags " << blocks.AllLags();
    EXPECT_EQ(rtp.Counts().Bad, 0);
    EXPECT_EQ(rtp.Counts().Gaps, 0);
}

// PipeWire's RTP sender (libpipewire-module-rtp-sink, in a client of the
// private PipeWire session: L16 mono at 48000 with a dynamic payload type, its
// announcements kept to 127.0.0.1) streams a sink playing the signal; the RTP
// input at @48000 locks the chain and keeps its lag for 40 blocks in a row.
TEST(RtpStream, PipeWireRtpSinkLocksTheChain) {
    io::testing::PrivateSoundServer server(io::testing::ServerKind::PipeWire);
    const QString why = server.Start();
    if (!why.isEmpty()) GTEST_SKIP() << "no private PipeWire session: " << why.toStdString();
    const uint16_t port = FreeUdpPort(), announce = FreeUdpPort();
    const QString conf = QDir(server.Folder()).filePath("rtp-sink.conf");
    {
        QFile file(conf);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(
                       "context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert\n"
                       "  support.* = support/libspa-support }\n"
                       "context.modules = [\n"
                       "  { name = libpipewire-module-protocol-native }\n"
                       "  { name = libpipewire-module-client-node }\n"
                       "  { name = libpipewire-module-adapter }\n"
                       "  { name = libpipewire-module-rtp-sink args = {\n"
                       "      destination.ip = 127.0.0.1 destination.port = %1\n"
                       "      sap.ip = 127.0.0.1 sap.port = %2 net.loop = true\n"
                       "      audio.format = S16BE audio.rate = 48000 audio.channels = 1\n"
                       "      audio.position = [ MONO ]\n"
                       "      stream.props = { node.name = rtp-out media.class = Audio/Sink } } }\n"
                       "]\n")
                       .arg(port)
                       .arg(announce)
                       .toUtf8());
    }
    QProcess sender;
    sender.setProcessEnvironment(server.Environment());
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start(QStringLiteral("pipewire"), {QStringLiteral("-c"), conf});
    ASSERT_TRUE(sender.waitForStarted(5000));
    bool sinkThere = false;
    for (int attempt = 0; attempt < 100 && !sinkThere; ++attempt) {
        QString sinks;
        server.Pactl({"list", "short", "sinks"}, &sinks);
        sinkThere = sinks.contains(QStringLiteral("rtp-out"));
        if (!sinkThere) QThread::msleep(50);
    }
    ASSERT_TRUE(sinkThere) << QString::fromLocal8Bit(sender.readAll()).toStdString();
    const QString wav = QDir(server.Folder()).filePath("s4285.wav");
    ASSERT_TRUE(io::testing::WriteTestRecording(wav, 15.0));

    std::vector<std::string> events;
    io::StreamReports reports;
    reports.Event = [&](const std::string& line) { events.push_back(line); };
    io::WaveInput wave(false);
    auto device = std::make_unique<io::RtpStreamDevice>(QHostAddress(QHostAddress::LocalHost), port,
                                                        std::nullopt, 48000,
                                                        io::ChannelChoice::Left, reports);
    const io::RtpStreamDevice& rtp = *device;
    CaptureState state;
    state.DeviceId = wave.AddDevice(std::move(device));
    FakeHost host(state, wave);
    Blocks blocks(host);
    host.Initialise();
    ASSERT_TRUE(host.Messages.empty()) << host.Messages.front().toStdString();
    server.Play("rtp-out", wav);
    const bool held = RunUntil([&] { return blocks.LongestStay() >= 40; }, 30000);
    server.StopPlaying();
    ReleaseCapture(state, wave);
    io::testing::StopProcess(sender);
    EXPECT_TRUE(held) << rtp.Counts().Datagrams << " packets; lags " << blocks.AllLags()
                      << (events.empty() ? std::string() : "; " + events.front());
    EXPECT_EQ(rtp.Counts().Bad, 0);
    EXPECT_EQ(rtp.Counts().Gaps, 0);
}

struct PipeCase {
    const char* Name;
    int Rate;
    io::SampleEncoding Encoding;
};

class PipeStream : public ::testing::TestWithParam<PipeCase> {};

// sox writes the recording into a pipe as fast as it can; the device reads it as
// it comes, and the end of the input ends the stream like the end of a replay.
TEST_P(PipeStream, SoxPipedRecordingLocksTheChainAndItsEndEndsTheStream) {
    const PipeCase& param = GetParam();
    QTemporaryDir dir;
    const QString wav = QDir(dir.path()).filePath("s4285.wav");
    constexpr double seconds = 8.05; // 75.5 buffers: the last one partly filled
    ASSERT_TRUE(io::testing::WriteTestRecording(wav, seconds));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const bool f32 = param.Encoding == io::SampleEncoding::F32;
    const std::string file = QFile::encodeName(wav).toStdString();
    const std::string rate = std::to_string(param.Rate);
    std::vector<std::string> args = {"sox", file,
                                     "-t",  "raw",
                                     "-r",  rate,
                                     "-e",  f32 ? "floating-point" : "signed",
                                     "-b",  f32 ? "32" : "16",
                                     "-c",  "1",
                                     "-"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t sox = 0;
    const int spawned = posix_spawnp(&sox, "sox", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        GTEST_SKIP() << "sox cannot run";
    }

    int ended = 0;
    std::vector<std::string> events;
    io::StreamReports reports;
    reports.Event = [&](const std::string& line) { events.push_back(line); };
    reports.Ended = [&] { ++ended; };
    io::WaveInput wave(false);
    auto device =
        std::make_unique<io::PipeStreamDevice>(fds[0], param.Rate, param.Encoding, reports);
    const io::PipeStreamDevice& pipe = *device;
    CaptureState state;
    state.DeviceId = wave.AddDevice(std::move(device));
    FakeHost host(state, wave);
    Blocks blocks(host);
    host.Initialise();
    const bool done = RunUntil([&] { return ended > 0; }, 30000);
    RunUntil([] { return false; }, 300);
    const size_t afterEnd = blocks.Lags.size();
    RunUntil([] { return false; }, 300);
    ReleaseCapture(state, wave);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(sox, &status, 0);
    ASSERT_TRUE(done) << "the end of the input was never seen";

    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(pipe.Counts().Ended);
    EXPECT_EQ(pipe.Counts().Samples, std::llround(seconds * param.Rate));
    // Every sample came through: 8.05 s at 9600/s are 75 whole blocks.
    EXPECT_EQ(blocks.Lags.size(), 75u);
    EXPECT_EQ(blocks.Lags.size(), afterEnd); // nothing after the end
    // The last, partly filled buffer came back with what it held.
    EXPECT_FALSE(host.RecordedBytes.empty());
    EXPECT_GT(host.RecordedBytes.back(), 0u);
    EXPECT_LT(host.RecordedBytes.back(), CaptureBufferBytes);
    ASSERT_GE(blocks.Lags.size(), 30u);
    EXPECT_TRUE(blocks.StayAt(blocks.Lags.back(), blocks.Lags.size() - 20, blocks.Lags.size()));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("standard input ended after 8.", 0), 0u) << events[0];
}

INSTANTIATE_TEST_SUITE_P(Encodings, PipeStream,
                         ::testing::Values(PipeCase{"S16At48000", 48000, io::SampleEncoding::S16},
                                           PipeCase{"F32At44100", 44100, io::SampleEncoding::F32},
                                           PipeCase{"S16At9600", 9600, io::SampleEncoding::S16}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(StreamInput, InputTextsParseOrSayWhatIsWrong) {
    struct Row {
        const char* Text;
        bool Ok;
        enum io::StreamInput::Kind Kind;
        const char* Address;
        int Port;
        int Rate;
        io::SampleEncoding Encoding;
    };
    const Row rows[] = {
        {"udp:7355", true, io::StreamInput::Kind::Udp, "127.0.0.1", 7355, 48000,
         io::SampleEncoding::S16},
        {"udp:7355@96000", true, io::StreamInput::Kind::Udp, "127.0.0.1", 7355, 96000,
         io::SampleEncoding::S16},
        {"udp:0.0.0.0:7355", true, io::StreamInput::Kind::Udp, "0.0.0.0", 7355, 48000,
         io::SampleEncoding::S16},
        {"udp:192.168.1.5:7355@24000", true, io::StreamInput::Kind::Udp, "192.168.1.5", 7355, 24000,
         io::SampleEncoding::S16},
        {"udp:[::1]:7355", true, io::StreamInput::Kind::Udp, "::1", 7355, 48000,
         io::SampleEncoding::S16},
        {"stdin:48000", true, io::StreamInput::Kind::Stdin, "127.0.0.1", 0, 48000,
         io::SampleEncoding::S16},
        {"stdin:44100:f32", true, io::StreamInput::Kind::Stdin, "127.0.0.1", 0, 44100,
         io::SampleEncoding::F32},
        {"stdin:8000:s16", true, io::StreamInput::Kind::Stdin, "127.0.0.1", 0, 8000,
         io::SampleEncoding::S16},
        {"rtp:5004", true, io::StreamInput::Kind::Rtp, "127.0.0.1", 5004, 44100,
         io::SampleEncoding::S16},
        {"rtp:127.0.0.2:5004#0x1a2b@48000", true, io::StreamInput::Kind::Rtp, "127.0.0.2", 5004,
         48000, io::SampleEncoding::S16},
        {"rtp:[::1]:5004", true, io::StreamInput::Kind::Rtp, "::1", 5004, 44100,
         io::SampleEncoding::S16},
        {"rtp:5004#fast", false, {}, "", 0, 0, {}},
        {"rtp:5004#0x1ffffffff", false, {}, "", 0, 0, {}},
        {"udp:0", false, {}, "", 0, 0, {}},
        {"udp:70000", false, {}, "", 0, 0, {}},
        {"udp:host.example:7355", false, {}, "", 0, 0, {}},
        {"udp:7355@12", false, {}, "", 0, 0, {}},
        {"stdin", false, {}, "", 0, 0, {}},
        {"stdin:48000:u8", false, {}, "", 0, 0, {}},
        {"stdin:fast", false, {}, "", 0, 0, {}},
        {"tcp:7355", false, {}, "", 0, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Text);
        io::StreamInput input;
        QString error;
        ASSERT_EQ(io::ParseStreamInput(row.Text, input, error), row.Ok) << error.toStdString();
        if (!row.Ok) {
            EXPECT_FALSE(error.isEmpty());
            continue;
        }
        EXPECT_EQ(input.Kind, row.Kind);
        if (row.Kind == io::StreamInput::Kind::Udp || row.Kind == io::StreamInput::Kind::Rtp) {
            EXPECT_EQ(input.Address.toString().toStdString(), row.Address);
            EXPECT_EQ(input.Port, row.Port);
        }
        EXPECT_EQ(input.Rate, row.Rate);
        EXPECT_EQ(input.Encoding, row.Encoding);
    }
}

} // namespace
} // namespace session::testing
