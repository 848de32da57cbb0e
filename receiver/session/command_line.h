// SPDX-License-Identifier: GPL-3.0-or-later
// propmon's command lines, read with QCommandLineParser.  Option sets are lists
// of QCommandLineOption, so a mode takes the sets it needs: the window takes the
// receiver's options (its input, its auto-saves), batch mode its own.  Exit
// status: 0 success, 1 failure, 2 bad usage (a one-line reason and the usage).
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include "receiver/io/stream_devices.h"
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/io/recording.h"

namespace session {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitNoSignal = 3; // batch: fewer than 20 % of the blocks locked

// Bad usage, with the reason in one line.
struct UsageError {
    QString Reason;
};

// The arguments as the shell passed them (local 8-bit encoding), program first.
QStringList Arguments(int argc, char** argv);
// 'text', as a usage error quotes what it refuses.
QString Quoted(const QString& text);

// What a run that parses its command line is asked besides its options.
struct CommandLineRequest {
    bool Help = false;    // -h or --help anywhere: print the usage, exit 0
    bool Version = false; // --version: print the version, exit 0
};

// Parses `arguments` (program name first) against `options` plus -h/--help and
// --version.  Unknown options, missing values and arguments that belong to no
// option (unless `positionalAllowed`) are usage errors (thrown), unless help
// was asked for.
CommandLineRequest ParseCommandLine(QCommandLineParser& parser,
                                    const QList<QCommandLineOption>& options,
                                    const QStringList& arguments, bool positionalAllowed = false);

// The options with their value names and descriptions, one per line (longer
// descriptions go on over indented lines), as a usage text lists them;
// options flagged HiddenFromHelp are left out.
QString OptionsHelp(const QList<QCommandLineOption>& options);

// The value of a numeric option: a number in low..high (a whole number for
// WholeIn), else a usage error naming the option and the range.
long double NumberIn(const std::string& option, const std::string& text, long double low,
                     long double high);
int32_t WholeIn(const std::string& option, const std::string& text, int32_t low, int32_t high);

// --channel auto|left|right|mix, of a stereo recording (replay and batch
// mode); auto, the default, takes the channel that locks best.
QCommandLineOption ChannelOption();
// The channel asked for (left when none is, or auto).
io::ChannelChoice ChannelValue(const QCommandLineParser& parser);
// True when no channel is asked for, or auto.
bool ChannelAuto(const QCommandLineParser& parser);

// The receiver's options: where its input comes from and how it starts.
struct ReceiverOptions {
    bool Simulate = false; // the built-in test signal is the input
    QString Replay;        // a recording played at real-time pace is the input
    io::ChannelChoice Channel = io::ChannelChoice::Left;
    bool ChannelAuto = true; // no --channel (or auto): the replay's channel that locks best
    bool Autosave = false;   // all three gram auto-saves on from the start
    // Samples from another program (UDP, a pipe) and lost inputs.
    io::StreamInput Input;  // --input udp:[ADDR:]PORT[@RATE] | stdin:RATE[:s16|f32]
    bool Reconnect = false; // --reconnect: a lost input is retried every 10 s
    // --start-time: when the first sample of a replay or a pipe was taken
    // (ms since the epoch).
    std::optional<int64_t> StartWallMs;

    // Running as a station, in the window or without one.
    bool Headless = false;               // no window: stderr tells the events
    QString Device;                      // the input whose name contains this text
    bool ListDevices = false;            // print the inputs and exit
    std::optional<int32_t> Mode;         // dsp::ModeNato or dsp::ModeAmateur
    std::optional<int32_t> Average;      // K, blocks averaged per correlogram column
    std::optional<int32_t> LagOffset;    // first lag of the correlogram window
    bool LagOffsetAuto = false;          // --lag-offset auto: placed on the strongest path
    std::optional<long double> ClockPpm; // --clock-ppm N: whole ppm of clock correction
    bool ClockAuto = false;              // --clock-ppm auto: measured, then applied once
    QString Log;                         // folder of the live block log
    bool Utc = false;                    // time marks, snapshot names in UTC
    bool DatedNames = false;             // snapshot names start with YYYYMMDD-
    QString Station;                     // --station NAME, else the host's name
    bool StationNamed = false;           // --station given: it also starts every stderr line

    // The read-only web view (--http [ADDR:]PORT): on the loopback address
    // unless another is given, as it has no login.
    bool Http = false;
    QString HttpAddress = QStringLiteral("127.0.0.1");
    quint16 HttpPort = 0; // 0: any free port
};
QList<QCommandLineOption> ReceiverOptionList();
// "[ADDR:]PORT" of --http: an IP address ("[...]" around IPv6 ones, "localhost"
// for 127.0.0.1) and a port.  A usage error when it is not that.
void ParseHttpListen(const QString& text, QString& address, quint16& port);
ReceiverOptions TakeReceiverOptions(const QCommandLineParser& parser);
// --start-time: ISO 8601, UTC unless it gives its zone; a usage error when it
// is no such time.
int64_t ParseStartTime(const QString& text);

} // namespace session
