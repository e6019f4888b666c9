// Rules for names that come from an archive and become paths on disk.
#pragma once

#include "core/records.h"

// A relative path that stays inside the folder it is joined to: not empty,
// no root, drive or stream (no leading separator, no ':'), no character a
// file name cannot hold (control characters, '"', '*', '?', '<', '>', '|'),
// no element made only of dots and spaces but "." (Windows reads ".. " as ".."), and
// no element that names a device (opening "d\CON" can reach the console).
bool is_contained_path(const wchar16* path);

// A name that creates an ordinary file in a folder: not empty, no separator,
// ':' or other character a file name cannot hold, not "." or "..", and not a
// device name such as CON or COM1, with or without an extension.
bool is_plain_file_name(const wchar16* name);
