// Bounded text copies and the ANSI/wide conversions of the host interface.
// Every fixed buffer is filled through these: nothing is written past a
// field, the result is always terminated, and a cut never splits a
// character (a surrogate pair, or a double-byte character in ANSI).
#pragma once

#include <cstddef>
#include <string>

#include "core/records.h"

typedef std::basic_string<wchar16> WideString;

size_t wide_len(const wchar16* s);
// Wide text from ASCII, for the fixed words of command lines and paths.
WideString from_ascii(const char* ascii);

// Copies at most cap-1 units of src (src_len units long) and terminates.
// Returns the units copied; with cap 0 nothing is written.
size_t copy_bounded(wchar16* dst, size_t cap, const wchar16* src, size_t src_len);
size_t copy_bounded(wchar16* dst, size_t cap, const wchar16* src);
size_t copy_bounded(char* dst, size_t cap, const char* src);

// ANSI to wide with the system's ANSI code page. Writes the conversion, cut to
// fit when it must, and answers whether it fitted whole.
bool to_wide(const char* ansi, wchar16* out, size_t cap);
// Wide to ANSI: the longest whole-character prefix whose conversion fits.
bool to_ansi(const wchar16* wide, char* out, size_t cap);
// The number of bytes the full ANSI conversion of wide takes.
size_t ansi_length(const wchar16* wide);

// A member's name as an ANSI host is shown it (its record's field), back in
// wide text: the name such a host asks for and expects to find.
void through_ansi(const wchar16* name, wchar16 (&out)[kFieldChars]);

// A member's folder in a record field ("ch01\\", ending in a backslash). One
// too long for the field is cut short and never left ending in a separator,
// so it cannot read as another, shorter folder: the missing backslash marks
// it cut. Answers whether it fitted whole.
bool fill_folder(wchar16 (&field)[kFieldChars], const wchar16* folder, size_t len);
// The same rule for the ANSI record's field.
bool to_ansi_folder(const wchar16* folder, char* out, size_t cap);
void folder_through_ansi(const wchar16* folder, wchar16 (&out)[kFieldChars]);

void convert_record(const MemberRecord& in, fileInfo& out);
// A zero-filled block of count + 1 fileInfo records (the last the
// terminator), or null when it cannot be allocated.
fileInfo* convert_table(const MemberRecord* table);
