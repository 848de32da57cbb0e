// SPDX-License-Identifier: GPL-3.0-or-later
// The reelmaker tests run inside a QApplication (widgets, fonts and image plugins need
// one); CTest sets QT_QPA_PLATFORM=offscreen.
#include <QApplication>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    // Test discovery runs the binary without the tests' environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
