// The texts are constants in the header; this file keeps the unit's pair.
#include "kelConsts.h"
