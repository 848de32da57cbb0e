// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/app/command_line.h"

#include <algorithm>

namespace propmon {

namespace {

QString Quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

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
                                    const QStringList& arguments) {
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions(options);
    parser.addOption(help);
    parser.addOption(version);
    const bool parsed = parser.parse(arguments);

    // Help wins wherever it stands, also as the value another option expects
    // ("propmon --batch --help").
    CommandLineRequest request;
    request.help = parser.isSet(help) || arguments.mid(1).contains(QStringLiteral("--help")) ||
                   arguments.mid(1).contains(QStringLiteral("-h"));
    if (request.help) return request;
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
    if (!parser.positionalArguments().isEmpty())
        throw UsageError{QStringLiteral("unexpected argument ") +
                         Quoted(parser.positionalArguments().front())};
    request.version = parser.isSet(version);
    return request;
}

QString OptionsHelp(const QList<QCommandLineOption>& options) {
    qsizetype column = 0;
    for (const QCommandLineOption& option : options)
        column = std::max(column, Synopsis(option).size());
    column += 4; // two blanks before the option, two after the longest
    QString text;
    for (const QCommandLineOption& option : options) {
        const QStringList lines = option.description().split(QLatin1Char('\n'));
        text += (QStringLiteral("  ") + Synopsis(option)).leftJustified(column) + lines.front() +
                QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            text += QString(column, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    }
    return text;
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

rx::ChannelChoice ChannelValue(const QCommandLineParser& parser) {
    rx::ChannelChoice channel = rx::ChannelChoice::Left;
    if (ChannelAuto(parser)) return channel;
    const QString text = parser.value(QStringLiteral("channel"));
    if (!rx::ParseChannelChoice(text.toStdString(), channel))
        throw UsageError{QStringLiteral("--channel is auto, left, right or mix, not ") +
                         Quoted(text)};
    return channel;
}

QList<QCommandLineOption> ReceiverOptionList() {
    return {
        QCommandLineOption(QStringLiteral("simulate"),
                           QStringLiteral("listen to the built-in STANAG 4285 test signal")),
        QCommandLineOption(QStringLiteral("replay"),
                           QStringLiteral("listen to a recording played at real-time pace; any\n"
                                          "WAV/FLAC at any rate, converted to the mode's rate\n"
                                          "(9600 samples/s NATO, 8000 AMATEUR); in the mode\n"
                                          "whose signal locks in its first minute"),
                           QStringLiteral("FILE")),
        ChannelOption(),
        QCommandLineOption(QStringLiteral("autosave"),
                           QStringLiteral("start with all three gram auto-saves on")),
    };
}

ReceiverOptions TakeReceiverOptions(const QCommandLineParser& parser) {
    ReceiverOptions options;
    options.simulate = parser.isSet(QStringLiteral("simulate"));
    options.autosave = parser.isSet(QStringLiteral("autosave"));
    options.replay = parser.value(QStringLiteral("replay"));
    if (parser.isSet(QStringLiteral("replay")) && options.replay.isEmpty())
        throw UsageError{QStringLiteral("--replay needs a file")};
    options.channel = ChannelValue(parser);
    options.channelAuto = ChannelAuto(parser);
    if (options.simulate && !options.replay.isEmpty())
        throw UsageError{QStringLiteral("choose either --simulate or --replay")};
    return options;
}

} // namespace propmon
