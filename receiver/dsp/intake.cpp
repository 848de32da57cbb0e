#include "receiver/dsp/chain.h"
