// A Susie archive plug-in as a viewer drives it: loaded from any file, its
// entry points found by name and called through the wide forms, or through
// the ANSI forms when asked to or when a wide form is missing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/exports.h"

// A member as the plug-in described it, whichever record form it used.
struct Member {
    std::string method;
    uintptr_t position = 0;
    uintptr_t compsize = 0;
    uintptr_t filesize = 0;
    intptr_t timestamp = 0;
    std::wstring path;
    std::wstring filename;
    uint32_t crc = 0;
};

// Answers of ours, outside the plug-in's result codes.
const int kNoAnsiSpelling = 1000;  // a path cannot be passed to an ANSI entry point
const int kNoBlock = 1001;         // success, but no memory block came back

// The five calls, each with a wide and an ANSI entry point.
enum Entry { kPluginInfo, kIsSupported, kArchiveInfo, kFileInfo, kGetFile, kEntries };

class Plugin {
public:
    Plugin() = default;
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // False with the system's error code when the module cannot be loaded.
    bool load(const std::wstring& file, bool ansi, DWORD& error);

    bool has(Entry e, bool wide) const { return (wide ? wide_[e] : ansi_[e]) != nullptr; }
    // Whether calls of this entry go to the wide form, and whether that form exists.
    bool uses_wide(Entry e) const { return !ansi_only_ && has(e, true); }
    bool available(Entry e) const { return has(e, uses_wide(e)); }
    // The name of the form a call of this entry goes to.
    const wchar_t* name(Entry e) const;
    static const wchar_t* name(Entry e, bool wide);

    // False when the plug-in has no string of this number.
    bool info(int number, std::wstring& text) const;
    // The plug-in's answer (non-zero: supported), or kNoAnsiSpelling; head
    // is the 2 KB the viewer read.
    int is_supported(const std::wstring& file, const void* head) const;
    int archive_info(const std::wstring& archive, std::vector<Member>& members) const;
    int file_info(const std::wstring& archive, const std::wstring& member, Member& found) const;
    // The whole block the plug-in handed over, copied; block is freed here.
    int get_to_memory(const std::wstring& archive, uintptr_t position, std::string& block) const;
    int get_to_folder(const std::wstring& archive, uintptr_t position, const std::wstring& folder) const;
    // ConfigurationDlg (fnc 1: settings, 0: about), which a plug-in may lack.
    bool has_configuration() const { return configure_ != nullptr; }
    int configure(int fnc) const;

private:
    HMODULE module_ = nullptr;
    bool ansi_only_ = false;
    FARPROC wide_[kEntries] = {};
    FARPROC ansi_[kEntries] = {};
    FARPROC configure_ = nullptr;
};
