// Finds an archive's member table in the cache or builds it (probe, test,
// listing), then hands out a copy of the whole table or one record.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "tables/cache.h"

// Exactly one of copy and request is given. With copy, success stores a new
// host-owned block holding the whole table; with request (its filename set,
// or empty and its position set), success overwrites it with the member's
// record.
ResultCode obtain_archive_table(const wchar16* archive, uint32_t offset, void** copy,
                                MemberRecord* request, NameForm form);
