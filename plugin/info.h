// The four information strings a host asks for by number.
#pragma once

#include "core/records.h"

// Builds string `number` (0 to 3) into out; false for any other number.
bool build_info_string(int number, wchar16 (&out)[kPathChars]);
