// reelmaker without a window: the same frames and headers, progress on stderr.
#pragma once

#include <QStringList>

#include <cstdio>

namespace reel {

// Arguments without the program name. Exit status 0 on success, 1 on failure with a
// one-line reason, 2 on bad usage.
int RunCommandLine(const QStringList& args, std::FILE* out, std::FILE* err);
// True when the arguments ask for a mode without a window.
bool IsCommandLineMode(const QStringList& args);

} // namespace reel
