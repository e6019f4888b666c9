// Memory that outlasts the module for the rest of the process: what one
// load of the plug-in leaves there, the next load of the same file finds.
// It is named for the process (driver/owner.h) and the module's file, so
// no other process, nor another copy of the plug-in, ever reads it, and the
// system frees it with the process: nothing of it is left on disk.
#pragma once

#include <cstddef>

#include "core/handle.h"
#include "core/text.h"

class LastingMemory {
public:
    LastingMemory() = default;
    ~LastingMemory() { close(); }
    LastingMemory(const LastingMemory&) = delete;
    LastingMemory& operator=(const LastingMemory&) = delete;

    // The block of `bytes` for the module at module_path; `fresh` when this
    // process had none yet (then all zero). False when none can be had.
    bool open(const wchar16* module_path, size_t bytes, bool& fresh);
    void* data() const { return view_; }
    // Lets go of the view. The handle of the load that made the block is
    // never closed: it keeps the block for the loads to come.
    void close();

private:
    KernelHandle section_;
    void* view_ = nullptr;
};
