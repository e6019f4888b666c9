// Reading ahead: when a member must be extracted, the same 7-Zip run also
// brings out the members the host is likely to ask for next, in the
// direction it is going through the listing, and keeps them in a folder of
// their own in the work folder, for later calls to be served without a run.
// The window grows while the host keeps going one way and starts small
// again after a jump. What is kept belongs to the table it was read for
// (tables/cache.h) and goes with it.
//
// The budget: everything reading ahead holds on disk in this process (kept
// members, runs under way in the foreground or the background) takes at
// most `aheadMB`, the least recently used kept members going first to make
// room; only the page a call asked for may come out beyond it.
//
// Who waits on what: one lock guards every table's kept members, their
// runs' marks and the budget; it is held only to look and to count, never
// while 7-Zip runs, a file is read, written or removed, or a host's
// callback runs. A call never waits for another call: while a window run of
// a table is under way (another thread's, or this thread's own from inside
// its progress callback), a page that is not kept comes out on its own. The
// one wait is a call's own, for a run in the background that holds its
// page, with the host's callback told how far it has come and able to stop
// it; a page with a CRC-32 is handed over as soon as it is whole, before
// the run has ended, or brought out on its own while the run goes on when
// 7-Zip has many members to write before it. A thread ended in the middle of a run is seen to be gone, and its
// run's mark and disk given back.
//
// A window whose members all have a CRC-32 comes out as one stream, 7-Zip's
// standard output, each member found in it by the listed sizes of those
// before it and checked against its CRC; such a window is kept, and goes,
// whole. Else a kept member is found by the very name 7-Zip wrote it under
// and checked against the listing's CRC when the listing gives one. A
// member whose written name would differ from its listed one is never
// kept, but brought out on its own.
#pragma once

#include <cstddef>

#include "core/platform.h"
#include "driver/archiver.h"
#include "driver/progress.h"
#include "tables/cache.h"

// The bytes of the member `record` names, which 7-Zip can bring out alone
// (source from obtain_member, its path known): from those kept for its
// table, or from a run that also reads ahead, or from a run of its own.
// Into a new block (bytes, length) when target is null, else into a new
// file at target, never over an existing one (kWriteError). The watch
// (may be null) is told how far the runs have come and may stop them, even
// at the last moment before the member is handed over: kAborted, and
// nothing of a stopped run is kept.
ResultCode fetch_ahead(const Setup& setup, const wchar16* archive, const MemberRecord& record,
                       const MemberSource& source, FetchWatch* watch, const WideString* target,
                       platform::OwnedBlock& bytes, size_t& length);

// A table just handed to the host whose album is small enough to come out
// whole in one window run: that run is started now, in the background, once
// for the table and one table at a time (else with its first page), so that
// its pages are kept, or on their way, by the time the host asks for them.
// Nothing while reading ahead is off.
void read_album(const Setup& setup, const wchar16* archive, const MemberSource& source);

// Removes kept members, least recently used first, until all of them take
// no more than `budget` bytes: 0 removes every one, and ends the runs in
// the background.
void trim_kept(uint64_t budget);
