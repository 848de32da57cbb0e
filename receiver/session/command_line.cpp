// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace session {

QString Quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

namespace {

// "--name VALUE" as the usage shows an option.
QString Synopsis(const QCommandLineOption& option) {
    QStringList names;
    for (const QString& name : option.names())
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString text = names.join(QStringLiteral(", "));
    if (!option.valueName().isEmpty()) text += QLatin1Char(' ') + option.valueName();
    return text;
}

} // namespace

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

CommandLineRequest ParseCommandLine(QCommandLineParser& parser,
                                    const QList<QCommandLineOption>& options,
                                    const QStringList& arguments, bool positionalAllowed) {
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions(options);
    parser.addOption(help);
    parser.addOption(version);
    const bool parsed = parser.parse(arguments);

    // Help wins wherever it stands, also as the value another option expects
    // ("propmon --batch --help").
    CommandLineRequest request;
    request.Help = parser.isSet(help) || arguments.mid(1).contains(QStringLiteral("--help")) ||
                   arguments.mid(1).contains(QStringLiteral("-h"));
    if (request.Help) return request;
    if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.front();
            throw UsageError{
                QStringLiteral("unknown option ") +
                Quoted((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name)};
        }
        QString reason = parser.errorText();
        if (reason.endsWith(QLatin1Char('.'))) reason.chop(1);
        if (!reason.isEmpty()) reason[0] = reason[0].toLower();
        throw UsageError{reason};
    }
    if (!positionalAllowed && !parser.positionalArguments().isEmpty())
        throw UsageError{QStringLiteral("unexpected argument ") +
                         Quoted(parser.positionalArguments().front())};
    request.Version = parser.isSet(version);
    return request;
}

QString OptionsHelp(const QList<QCommandLineOption>& options) {
    const auto hidden = [](const QCommandLineOption& option) {
        return option.flags().testFlag(QCommandLineOption::HiddenFromHelp);
    };
    qsizetype column = 0;
    for (const QCommandLineOption& option : options)
        if (!hidden(option)) column = std::max(column, Synopsis(option).size());
    column += 4; // two blanks before the option, two after the longest
    QString text;
    for (const QCommandLineOption& option : options) {
        if (hidden(option)) continue;
        const QStringList lines = option.description().split(QLatin1Char('\n'));
        text += (QStringLiteral("  ") + Synopsis(option)).leftJustified(column) + lines.front() +
                QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            text += QString(column, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    }
    return text;
}

long double NumberIn(const std::string& option, const std::string& text, long double low,
                     long double high) {
    char* end = nullptr;
    errno = 0;
    const long double value = text.empty() ? 0.0L : std::strtold(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
        !std::isfinite(value) || value < low || value > high) {
        char range[128];
        std::snprintf(range, sizeof range, "%.10Lg..%.10Lg", low, high);
        throw UsageError{QString::fromLocal8Bit(
            (option + " wants a number in " + range + ", not '" + text + "'").c_str())};
    }
    return value;
}

int32_t WholeIn(const std::string& option, const std::string& text, int32_t low, int32_t high) {
    const long double value = NumberIn(option, text, low, high);
    if (value != std::floor(value))
        throw UsageError{
            QString::fromLocal8Bit((option + " wants a whole number, not '" + text + "'").c_str())};
    return static_cast<int32_t>(value);
}

QCommandLineOption ChannelOption() {
    return QCommandLineOption(QStringLiteral("channel"),
                              QStringLiteral("of a stereo recording: left, right, mix, or auto\n"
                                             "(default): the one that locks best"),
                              QStringLiteral("C"));
}

bool ChannelAuto(const QCommandLineParser& parser) {
    return !parser.isSet(QStringLiteral("channel")) ||
           parser.value(QStringLiteral("channel")) == QStringLiteral("auto");
}

io::ChannelChoice ChannelValue(const QCommandLineParser& parser) {
    io::ChannelChoice channel = io::ChannelChoice::Left;
    if (ChannelAuto(parser)) return channel;
    const QString text = parser.value(QStringLiteral("channel"));
    if (!io::ParseChannelChoice(text.toStdString(), channel))
        throw UsageError{QStringLiteral("--channel is auto, left, right or mix, not ") +
                         Quoted(text)};
    return channel;
}

} // namespace session
