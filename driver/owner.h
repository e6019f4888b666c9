// Whose a name in the work folder is. Every file and folder a process makes
// directly in the work folder is named "<kind>.<tag>.<rest>", where kind is
// one letter and tag is process_tag(): the process id and the time the
// process started. A process id alone is reused by Windows; with the start
// time, a name tells a running owner from a dead one, so what a killed host
// left behind can be found and removed without touching a live process's.
#pragma once

#include "core/text.h"

// "<pid>.<start>": the process id in decimal and its creation time as
// sixteen hex digits, the same for the whole life of the process.
const wchar16* process_tag();

// The kinds of name, the first letter of each.
const wchar16 kScratchKind = L'x';  // one extraction's folder
const wchar16 kCaptureKind = L'c';  // one run's captured output
const wchar16 kKeptKind = L'k';     // members brought out ahead of the host's asking

// "<kind>.<tag>." for this process: the start of every name it makes.
WideString owned_prefix(wchar16 kind);
