// SPDX-License-Identifier: GPL-3.0-or-later
// reelmaker without a window: the same frames and headers, progress on stderr.
#pragma once

#include <QStringList>

#include <cstdio>

namespace reelmaker {

// Arguments without the program name. Exit status 0 on success, 1 on failure with a
// one-line reason (also when no picture loads), 2 on bad usage; --help and --version
// print and give 0. Needs a QCoreApplication, not a display.
int RunCommandLine(const QStringList& args, std::FILE* out, std::FILE* err);

} // namespace reelmaker
