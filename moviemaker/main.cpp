// reelmaker: turns a list of pictures into an AVI movie.
#include "moviemaker/batch.h"
#include "moviemaker/main_window.h"

#include <QApplication>
#include <QCoreApplication>

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (!args.isEmpty()) {
        QCoreApplication app(argc, argv);
        return reel::RunCommandLine(args, stdout, stderr);
    }
    QApplication app(argc, argv);
    app.setFont(reel::WindowFont());
    reel::MainWindow window;
    window.exec();
    return 0;
}
