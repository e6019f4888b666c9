// A folder of one extraction's own inside the work folder. It is made empty,
// so whatever appears in it came from that one run, and it goes whole when
// the request is done: read-only files and member folders included.
#pragma once

#include <cstdint>

#include "core/text.h"
#include "driver/owner.h"

class ScratchFolder {
public:
    ScratchFolder() = default;
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // A new, empty folder in the work folder, its name of the given kind
    // (driver/owner.h); false when none can be made.
    bool make(const wchar16* work_area, wchar16 kind = kScratchKind);
    // The longest path make() may give in that work folder, for what must
    // be sized before the folder is worth making.
    static size_t longest_path(const wchar16* work_area, wchar16 kind);
    const WideString& path() const { return path_; }
    // The one file that appeared anywhere below the folder, and its size.
    // False when there is none, more than one, or a link in its place.
    bool only_file(WideString& file, uint64_t& size) const;
    // The sizes of the files below the folder so far, added up.
    uint64_t bytes_written() const;

private:
    WideString path_;
};

// Removes a folder and everything below it, never following a link out of
// it; paths of any length. False when something stays.
bool remove_folder_tree(const WideString& folder);

// Scratch folders that could not be removed when their request ended (a
// file some other program held open) are tried again here, at unload.
void remove_leftover_scratch();
