// SPDX-License-Identifier: GPL-3.0-or-later
// propmon: a run over recordings that writes tables alone (--batch without
// --out) runs here, in a program that loads none of the window's libraries:
// it starts in a third of the time, which a batch of short recordings feels.
// Every other command line goes unchanged to the receiver program beside it
// (propmon-receiver: the window, --headless, painting batches, the rest).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "receiver/runners/batch.h"

namespace {

bool Named(const char* argument, const char* option) {
    const size_t length = std::strlen(option);
    return std::strncmp(argument, option, length) == 0 &&
           (argument[length] == '\0' || argument[length] == '=');
}

// The first of --batch and --find-signals decides, as in the receiver
// program; pictures (--out) need the receiver's painters.
bool TablesAlone(int argc, char** argv) {
    bool batch = false;
    for (int i = 1; i < argc; ++i) {
        if (Named(argv[i], "--out")) return false;
        if (!batch && Named(argv[i], "--find-signals")) return false;
        if (Named(argv[i], "--batch")) batch = true;
    }
    return batch;
}

std::string ReceiverProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder;
    if (length > 0) {
        folder.assign(self, static_cast<size_t>(length));
        folder.erase(folder.rfind('/') + 1);
    }
    return folder + "propmon-receiver";
}

} // namespace

int main(int argc, char** argv) {
    if (TablesAlone(argc, argv)) return runners::RunBatch(argc, argv);
    const std::string receiver = ReceiverProgram();
    ::execv(receiver.c_str(), argv);
    std::fprintf(stderr, "propmon: cannot start %s: %s; install propmon-receiver beside propmon\n",
                 receiver.c_str(), std::strerror(errno));
    return 1;
}
