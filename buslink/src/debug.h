// Process-wide debug level. The exported pair is declared in buslink.h; the
// drivers keep their own per-object verbosity and do not read it.
#pragma once

#include "buslink.h"
