// The eleven entry points, and the function-pointer types a host declares for
// them. The definitions are checked against these types, so a changed
// signature fails the build instead of a host.
#pragma once

#include <windows.h>

#include "core/records.h"

typedef int(__stdcall* SusieProgress)(int num, int denom, LONG_PTR data);

typedef int(__stdcall* GetPluginInfoProc)(int infono, LPSTR buf, int buflen);
typedef int(__stdcall* GetPluginInfoWProc)(int infono, LPWSTR buf, int buflen);
typedef int(__stdcall* IsSupportedProc)(LPCSTR filename, void* dw);
typedef int(__stdcall* IsSupportedWProc)(LPCWSTR filename, void* dw);
typedef int(__stdcall* GetArchiveInfoProc)(LPCSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf);
typedef int(__stdcall* GetArchiveInfoWProc)(LPCWSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf);
typedef int(__stdcall* GetFileInfoProc)(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned int flag,
                                        fileInfo* lpInfo);
typedef int(__stdcall* GetFileInfoWProc)(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, unsigned int flag,
                                         fileInfoW* lpInfo);
typedef int(__stdcall* GetFileProc)(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned int flag,
                                    SusieProgress progress, LONG_PTR data);
typedef int(__stdcall* GetFileWProc)(LPCWSTR src, LONG_PTR len, LPWSTR dest, unsigned int flag,
                                     SusieProgress progress, LONG_PTR data);
typedef int(__stdcall* ConfigurationDlgProc)(HWND parent, int fnc);

extern "C" {
int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen);
int __stdcall GetPluginInfoW(int infono, LPWSTR buf, int buflen);
int __stdcall IsSupported(LPCSTR filename, void* dw);
int __stdcall IsSupportedW(LPCWSTR filename, void* dw);
int __stdcall GetArchiveInfo(LPCSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf);
int __stdcall GetArchiveInfoW(LPCWSTR buf, LONG_PTR len, unsigned int flag, HLOCAL* lphInf);
int __stdcall GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned int flag, fileInfo* lpInfo);
int __stdcall GetFileInfoW(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, unsigned int flag,
                           fileInfoW* lpInfo);
int __stdcall GetFile(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned int flag, SusieProgress progress,
                      LONG_PTR data);
int __stdcall GetFileW(LPCWSTR src, LONG_PTR len, LPWSTR dest, unsigned int flag,
                       SusieProgress progress, LONG_PTR data);
int __stdcall ConfigurationDlg(HWND parent, int fnc);
}
