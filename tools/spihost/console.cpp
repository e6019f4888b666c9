#include "tools/spihost/console.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

Stream::Stream(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode;
    console_ = handle_ != INVALID_HANDLE_VALUE && handle_ && GetConsoleMode(handle_, &mode);
}

void Stream::text(const std::wstring& s) const {
    if (s.empty()) return;
    if (console_) {
        DWORD put;
        WriteConsoleW(handle_, s.data(), static_cast<DWORD>(s.size()), &put, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string u(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &u[0], n, nullptr, nullptr);
    bytes(u.data(), u.size());
}

bool Stream::bytes(const void* data, size_t size) const {
    const char* p = static_cast<const char*>(data);
    while (size) {
        DWORD chunk = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!WriteFile(handle_, p, chunk, &put, nullptr) || put == 0) return false;
        p += put;
        size -= put;
    }
    return true;
}

const Stream& out() {
    static const Stream s(STD_OUTPUT_HANDLE);
    return s;
}

const Stream& err() {
    static const Stream s(STD_ERROR_HANDLE);
    return s;
}

std::wstring format(const wchar_t* pattern, ...) {
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list args;
        va_start(args, pattern);
        int n = vswprintf(buf.data(), buf.size(), pattern, args);
        va_end(args);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), static_cast<size_t>(n));
        // A failure that no room cures (a bad pattern) ends with nothing.
        if (buf.size() >= (1u << 20)) return std::wstring();
        buf.resize(buf.size() * 4);
    }
}

std::wstring utf8_to_wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}
