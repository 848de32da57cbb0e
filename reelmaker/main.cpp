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

const char kNoDisplay[] = "reelmaker: no display to show the window on; use --batch to make a "
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
    QtMsgType type;
    QByteArray file, function, category;
    int line;
    QString text;
};
std::vector<HeldMessage> heldMessages;
QtMessageHandler qtHandler = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(kNoDisplay, stderr);
        std::_Exit(1);
    }
    heldMessages.push_back(
        {type, context.file, context.function, context.category, context.line, text});
}

void ReleaseMessages() {
    qInstallMessageHandler(qtHandler);
    if (!qtHandler) return; // Qt 6 hands back its default handler, never none
    for (const HeldMessage& m : std::exchange(heldMessages, {})) {
        const QMessageLogContext context(m.file.constData(), m.line, m.function.constData(),
                                         m.category.constData());
        qtHandler(m.type, context, m.text);
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
        std::fputs(kNoDisplay, stderr);
        return 1;
    }
    qtHandler = qInstallMessageHandler(HoldMessage);
    QApplication app(argc, argv);
    ReleaseMessages();
    app.setFont(reelmaker::WindowFont());
    reelmaker::MainWindow window;
    window.exec();
    return 0;
}
