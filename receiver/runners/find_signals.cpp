// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --find-signals: every STANAG 4285 carrier of an IQ recording, as CSV
// on standard output.
#include <cstdio>
#include <string>

#include "receiver/analysis/signal_finder.h"
#include "receiver/runners/iq_batch.h"
#include "receiver/session/command_line.h"

namespace runners {

namespace {

constexpr const char* FindSynopsis = "usage: propmon --find-signals FILE [--iq] [--centre HZ]\n"
                                     "\n";

constexpr const char* FindText =
    "\n"
    "Prints, as CSV on standard output, every STANAG 4285 carrier of the IQ\n"
    "recording, lowest first, under the header\n"
    "frequency_hz,mode,snr_db,locked_share: the carrier in whole hertz (absolute\n"
    "where the centre is known, else from the centre), NATO or AMATEUR, the\n"
    "signal over the noise in 3 kHz in dB, the share of locked blocks over the\n"
    "first minute.  Exit status: 0 some found; 1 the recording cannot be read;\n"
    "2 bad usage; 3 none found.\n";

QList<QCommandLineOption> FindOptionList() {
    return {
        QCommandLineOption(QStringLiteral("find-signals"),
                           QStringLiteral("the IQ recording: a two-channel WAV (I left, Q\n"
                                          "right) or a SigMF recording"),
                           QStringLiteral("FILE")),
        QCommandLineOption(QStringLiteral("iq"),
                           QStringLiteral("take a two-channel WAV for IQ though neither an\n"
                                          "auxi chunk nor its name says it is")),
        QCommandLineOption(QStringLiteral("centre"),
                           QStringLiteral("the centre frequency, where the recording does\n"
                                          "not say it"),
                           QStringLiteral("HZ")),
    };
}

std::string FindUsage() {
    return FindSynopsis + session::OptionsHelp(FindOptionList()).toStdString() + FindText;
}

} // namespace

int RunFindSignals(int argc, char** argv) {
    QCommandLineParser parser;
    analysis::FinderOptions options;
    std::string path;
    try {
        const session::CommandLineRequest request =
            session::ParseCommandLine(parser, FindOptionList(), session::Arguments(argc, argv));
        if (request.Help) {
            std::fputs(FindUsage().c_str(), stdout);
            return session::ExitSuccess;
        }
        if (request.Version) {
            std::printf("propmon %s\n", PROPMON_VERSION);
            return session::ExitSuccess;
        }
        path = parser.value(QStringLiteral("find-signals")).toLocal8Bit().toStdString();
        if (path.empty()) throw session::UsageError{QStringLiteral("--find-signals needs a file")};
        options.AsIq = parser.isSet(QStringLiteral("iq"));
        if (parser.isSet(QStringLiteral("centre")))
            options.CentreHz = double(session::NumberIn(
                "--centre", parser.value(QStringLiteral("centre")).toLocal8Bit().toStdString(),
                0.0L, 1e12L));
    } catch (const session::UsageError& error) {
        std::fprintf(stderr, "propmon: %s\n%s", error.Reason.toLocal8Bit().constData(),
                     FindUsage().c_str());
        return session::ExitUsage;
    }

    std::string error;
    const auto found = analysis::FindSignals(path, options, error);
    if (!found) {
        std::fprintf(stderr, "propmon: %s\n", error.c_str());
        return session::ExitFailure;
    }
    std::printf("%s\n", analysis::FoundSignalsHeader().c_str());
    for (const analysis::FoundSignal& signal : *found)
        std::printf("%s\n", analysis::FormatFoundSignal(signal).c_str());
    if (std::fflush(stdout) != 0) return session::ExitFailure;
    if (found->empty()) {
        std::fprintf(stderr, "no STANAG 4285 signal found in %s\n", path.c_str());
        return session::ExitNoSignal;
    }
    return session::ExitSuccess;
}

} // namespace runners
