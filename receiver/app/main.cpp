#include <cstdio>
#include <cstring>

#include "receiver/app/batch.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0) return propmon::RunBatch(argc, argv);
    }
    std::fprintf(stderr, "propmon: the window is not built yet; use --batch FILE --csv OUT.csv\n");
    return 2;
}
