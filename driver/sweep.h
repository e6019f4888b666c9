// What processes that no longer run left in the work folder: the scratch
// folders, captures and kept members of a host that was killed mid-request.
// Names tell their owner (driver/owner.h); an owner runs when a process of
// that id runs and started at that time, so a reused id is told from the
// old one. Nothing of a running process, or of one that cannot be asked, is
// ever touched.
#pragma once

#include "core/text.h"

// Removes every entry of the work folder whose owner no longer runs. Names
// of earlier versions ("x.<pid>.<tid>.<n>", "rizazur.<pid>.<tid>.<n>.txt")
// carry no start time: they go when no process of that id runs. With
// own_too, so do those of this process: what an earlier load of the
// plug-in left (see sweep_now_and_then).
void sweep_work_area(const wchar16* work_area, bool own_too = false);

// The sweep for a request: at the first after load, then at most once a
// minute, never two at once. The first of a load that is the only one in
// the process also takes what this process made before the load: nothing
// of a live request or kept member can be among it, since requests of the
// load wait until it is done.
void sweep_now_and_then();

// Each load counts itself among the process's loads of the plug-in from
// its load notification to its unload.
void count_load_in();
void count_load_out();
