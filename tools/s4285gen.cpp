#include "tools/s4285gen.h"
