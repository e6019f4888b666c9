// Finds an archive's member table among those kept or builds it (probe,
// test, listing), then hands out a copy of the whole table or one record;
// and answers whether an archive is served, from the test's kept verdict
// while the archive is unchanged. Under test=list the listing stands for
// the test, and a table it gave is served only under test=list.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "driver/archiver.h"
#include "tables/cache.h"

// Yes when 7-Zip tests the archive without error (tables/passwords.h: with
// the password it asks for, if any); under test=list, when it lists it (the
// table kept, as GetArchiveInfo would make it).
bool archive_supported(const Setup& setup, const wchar16* archive);

// For the information calls. Exactly one of copy and request is given. With
// copy, success stores a new host-owned block holding the whole table; with
// request (its filename set, or empty and its position set), success
// overwrites it with the member's record. A table kept for the unchanged
// archive answers as a fresh listing would.
ResultCode obtain_archive_table(const Setup& setup, const wchar16* archive, uint32_t offset, void** copy,
                                MemberRecord* request, NameForm form);

// For a fetch: the record at `position` and where its bytes come from. When
// a table is kept for the archive but the archive (or a setting that shaped
// the table) has changed since, the position names a member of a file that
// is gone: kReadError, and the table is dropped. The setup takes the
// password that opened the archive, if it needed one, for the fetch.
ResultCode obtain_member(Setup& setup, const wchar16* archive, uintptr_t position, MemberRecord& record,
                         MemberSource& source);
