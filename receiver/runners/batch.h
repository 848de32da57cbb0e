// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace runners {

// propmon --batch FILE ...: the whole chain over a recording, as fast as it goes.
// Returns the process exit status: 0 success, 1 failure, 2 bad usage.
int RunBatch(int argc, char** argv);

} // namespace runners
