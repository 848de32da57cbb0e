// SPDX-License-Identifier: GPL-3.0-or-later
// reelmaker: turns a list of pictures into an AVI movie.
#include "reelmaker/batch.h"
#include "reelmaker/main_window.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char NoDisplay[] = "reelmaker: no display to show the window on; use --batch to make a "
                         "movie without one (see reelmaker --help)\n";

bool DisplayNamed() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// While QApplication connects to the display, Qt's messages are held back: when no
// platform plugin starts, Qt ends the program through a fatal message, and then one line
// of ours replaces its several lines and the abort.
struct HeldMessage {
    QtMsgType Type;
    QByteArray File, Function, Category;
    int Line;
    QString Text;
};
std::vector<HeldMessage> HeldMessages;
QtMessageHandler QtHandler = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(NoDisplay, stderr);
        std::_Exit(1);
    }
    HeldMessages.push_back(
        {type, context.file, context.function, context.category, context.line, text});
}

void ReleaseMessages() {
    qInstallMessageHandler(QtHandler);
    if (!QtHandler) return; // Qt 6 hands back its default handler, never none
    for (const HeldMessage& m : std::exchange(HeldMessages, {})) {
        const QMessageLogContext context(m.File.constData(), m.Line, m.Function.constData(),
                                         m.Category.constData());
        QtHandler(m.Type, context, m.Text);
    }
}

} // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (!args.isEmpty()) {
        QCoreApplication app(argc, argv); // batch, lists, help: no display needed
        return reelmaker::RunCommandLine(args, stdout, stderr);
    }
    if (!DisplayNamed()) {
        std::fputs(NoDisplay, stderr);
        return 1;
    }
    QtHandler = qInstallMessageHandler(HoldMessage);
    QApplication app(argc, argv);
    ReleaseMessages();
    app.setFont(reelmaker::WindowFont());
    reelmaker::MainWindow window;
    window.exec();
    return 0;
}
