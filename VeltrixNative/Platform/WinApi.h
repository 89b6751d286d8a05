// WinApi.h: the Windows loader, error and text calls the library is written against,
// with the same names and contracts, implemented for this platform in posix/WinApi.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

typedef void* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void* FARPROC;
typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HLOCAL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Error codes, Windows numbering.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x1;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

#define MAKELANGID(p, s) ((((uint16_t)(s)) << 10) | (uint16_t)(p))
constexpr uint16_t LANG_ENGLISH = 0x09;
constexpr uint16_t SUBLANG_ENGLISH_US = 0x01;

// Loads a shared object (dlopen with RTLD_NOW | RTLD_LOCAL). A file that is already
// loaded yields the same module, with its reference count raised.
HINSTANCE LoadLibraryA(LPCSTR libFileName);
HINSTANCE LoadLibraryW(LPCWSTR libFileName);
FARPROC GetProcAddress(HINSTANCE module, LPCSTR procName);
BOOL FreeLibrary(HINSTANCE module);
BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleNameOrAddress, HMODULE* module);
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

DWORD GetLastError();
void SetLastError(DWORD errorCode);
// FROM_SYSTEM gives the loader's own reason when code is the calling thread's last
// loader failure, else a fixed text for the code. With ALLOCATE_BUFFER, buffer receives a
// pointer to free with LocalFree. Returns the number of characters, 0 on failure.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     void* arguments);
HLOCAL LocalFree(HLOCAL memory);

// Conversions between 8-bit text (CP_ACP is UTF-8 here) and wide text (UTF-32 here).
// Lengths of -1 mean "up to and including the NUL".
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int multiByte, LPWSTR wideCharStr,
                        int wideChar);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int wideChar, LPSTR multiByteStr,
                        int multiByte, LPCSTR defaultChar, BOOL* usedDefaultChar);

// Local time, argument order of the Microsoft runtime: 0 on success, an errno value otherwise.
int localtime_s(struct tm* result, const time_t* timer);
