// The version a program tells in its version resource, for showing the user
// which 7-Zip is in use.
#pragma once

#include "core/text.h"

// Its "FileVersion" text as its maker wrote it ("26.03"), else the fixed
// numbers ("26.3.0.0"); empty when it has no version resource.
WideString program_version(const wchar16* exe);
