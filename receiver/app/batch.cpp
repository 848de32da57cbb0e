#include "receiver/app/batch.h"

namespace propmon {

int RunBatch(int, char**) { return 1; }

}  // namespace propmon
