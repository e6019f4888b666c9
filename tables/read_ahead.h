// Reading ahead: when a member must be extracted, the same 7-Zip run also
// brings out the members the host is likely to ask for next, in the
// direction it is going through the listing, and keeps them in a folder of
// their own in the work folder, for later calls to be served without a run.
// The window grows while the host keeps going one way and starts small
// again after a jump. What is kept belongs to the table it was read for
// (tables/cache.h) and goes with it; all archives' kept members together
// stay within the `aheadMB` budget, the least recently used going first.
#pragma once

#include <cstddef>

#include "core/platform.h"
#include "driver/archiver.h"
#include "driver/progress.h"
#include "tables/cache.h"

// The bytes of the member `record` names, which 7-Zip can bring out alone
// (source from obtain_member, its path known): from those kept for its
// table, or from a run that also reads ahead, or, when neither gives a file
// exactly as listed (path, size and the listing's CRC), from a run of its
// own. A kept file is served only once the run that wrote it has ended.
// The watch (may be null) is told how far the runs have come and may stop
// them: kAborted, and nothing of a stopped run is kept.
ResultCode fetch_ahead(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                       const MemberSource& source, FetchWatch* watch, platform::OwnedBlock& bytes, size_t& length);

// Removes kept members, least recently used first, until all of them take
// no more than `budget` bytes: 0 removes every one.
void trim_kept(uint64_t budget);
