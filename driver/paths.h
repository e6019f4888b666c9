// Rules for names that come from an archive and become paths on disk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/records.h"
#include "core/text.h"

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

// Where 7-Zip writes the member listed under `path` below its output folder,
// when the file system then finds it there under that name and no other:
// the listed path without its "." elements. False when 7-Zip would write
// another name (an element with a character Windows forbids, a trailing dot
// or space, a device name), cannot write it (an element longer than a file
// name may be) or the name could reach another file (an element
// with a '~' may be another file's short name); an empty or ".." element, a
// root or a lone surrogate, too.
bool written_as_listed(const wchar16* path, WideString& written);

// One unit as 7-Zip compares names: upper-cased on its own.
wchar16 upper_7zip(wchar16 c);

// Two member paths ordered case aside, '/' and '\\' as one separator: by
// 7-Zip's rule for matching names (each unit upper-cased on its own), and
// by the file system's (ordinal, without regard to case). Below, equal or
// above 0.
int compare_paths_7zip(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len);
int compare_paths_ordinal(const wchar16* a, size_t a_len, const wchar16* b, size_t b_len);

// A 64-bit digest of a path that paths comparing equal by the file
// system's rule share.
uint64_t path_digest(const wchar16* path, size_t len);

// Whether 7-Zip, asked for `member` alone, would also bring out `other` or
// write it to the same file: the same path by either rule, or a path below
// it, "." elements aside.
bool brings_out(const wchar16* member, size_t member_len, const wchar16* other, size_t other_len);

// A full path as every file call should take it: from 260 units on, in the
// "\\\\?\\" form that lifts the length limit (UNC paths as "\\\\?\\UNC\\").
WideString extended_path(const WideString& path);
