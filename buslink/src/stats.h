// Traffic statistics kept by every transport; the record and the exported
// functions are declared in buslink.h.
#pragma once

#include "buslink.h"
