// Text for people, bytes for pipes: wide text goes to a console as it is
// and anywhere else as UTF-8, so that names in any script survive a
// redirection.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

class Stream {
public:
    explicit Stream(DWORD which);
    bool is_console() const { return console_; }
    void text(const std::wstring& s) const;
    bool bytes(const void* data, size_t size) const;

private:
    HANDLE handle_;
    bool console_;
};

const Stream& out();
const Stream& err();

// printf-style formatting into a wide string (%ls for wide text).
std::wstring format(const wchar_t* pattern, ...);
std::wstring utf8_to_wide(const std::string& s);
