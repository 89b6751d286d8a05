// WinApi.cpp: the Windows calls of WinApi.h on dlopen/dlsym/dladdr and the C library.
#include "../WinApi.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
// The loader's own words for the last failure, kept with the code they belong to.
thread_local std::string lastLoaderText;
thread_local DWORD lastLoaderCode = ERROR_SUCCESS;

void setLoaderError(DWORD code, const char* text) {
    lastError = code;
    lastLoaderCode = code;
    lastLoaderText = text != nullptr ? text : "";
}

DWORD classifyLoadFailure(const std::string& text) {
    if (text.find("invalid ELF header") != std::string::npos || text.find("file too short") != std::string::npos ||
        text.find("wrong ELF class") != std::string::npos || text.find("ELF file") != std::string::npos ||
        text.find("not a dynamic") != std::string::npos) {
        return ERROR_BAD_EXE_FORMAT;
    }
    if (text.find("undefined symbol") != std::string::npos) {
        return ERROR_PROC_NOT_FOUND;
    }
    return ERROR_MOD_NOT_FOUND;
}

const char* fixedText(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return "The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
        case ERROR_INVALID_HANDLE: return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
        case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
        case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
        case ERROR_MOD_NOT_FOUND: return "The specified module could not be found.";
        case ERROR_PROC_NOT_FOUND: return "The specified procedure could not be found.";
        case ERROR_BAD_EXE_FORMAT: return "The file is not a valid shared object.";
        case ERROR_NO_UNICODE_TRANSLATION:
            return "No mapping for the Unicode character exists in the target code page.";
        default: return nullptr;
    }
}

// UTF-8 decoding of one code point; returns bytes consumed, 0 on a malformed sequence.
size_t decodeUtf8(const unsigned char* s, size_t n, char32_t& out) {
    if (n == 0) return 0;
    unsigned char c = s[0];
    if (c < 0x80) {
        out = c;
        return 1;
    }
    size_t len = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || len > n) return 0;
    char32_t cp = c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    out = cp;
    return len;
}

size_t encodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

std::string narrowPath(LPCWSTR path) {
    int size = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, path, -1, result.data(), size, nullptr, nullptr);
    result.resize(std::strlen(result.c_str()));
    return result;
}

std::string programFileName() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n < 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

// A relative name as the loader kept it, made absolute against the current directory of this moment.
std::string absoluteName(const char* name) {
    char resolved[PATH_MAX];
    if (realpath(name, resolved) != nullptr) return resolved;
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr) return name;
    return std::string(directory) + "/" + name;
}

// The loader keeps a module's name as it was asked for, relative names included. Each relative name is
// made absolute once, when the module is loaded, so that a later change of the current directory does not
// move it; `given` tells a reused link map of another module from the one the name was made for.
struct ResolvedName {
    std::string given;
    std::string absolute;
};

std::mutex resolvedNamesMutex;
std::map<const void*, ResolvedName>& resolvedNames() {
    static std::map<const void*, ResolvedName> names;
    return names;
}

std::string moduleFileName(HMODULE module) {
    if (module == nullptr) return programFileName();
    struct link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
    if (map->l_name == nullptr || map->l_name[0] == '\0') return programFileName();
    if (map->l_name[0] == '/') return map->l_name;
    std::lock_guard<std::mutex> guard(resolvedNamesMutex);
    ResolvedName& known = resolvedNames()[map];
    if (known.absolute.empty() || known.given != map->l_name) known = {map->l_name, absoluteName(map->l_name)};
    return known.absolute;
}

HMODULE moduleFromAddress(const void* address) {
    // glibc's module handles are its link maps, so the map that holds the address is the handle.
    Dl_info info{};
    struct link_map* map = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr) {
        return nullptr;
    }
    return map;
}

// This library's own name, resolved while it is being loaded, before any caller can change directory.
[[maybe_unused]] const bool ownNameResolved =
    !moduleFileName(moduleFromAddress(reinterpret_cast<const void*>(&programFileName))).empty();

}  // namespace

HINSTANCE LoadLibraryA(LPCSTR libFileName) {
    if (libFileName == nullptr || libFileName[0] == '\0') {
        setLoaderError(ERROR_MOD_NOT_FOUND, "empty library name");
        return nullptr;
    }
    dlerror();
    void* handle = dlopen(libFileName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        std::string text = reason != nullptr ? reason : "unknown loader failure";
        setLoaderError(classifyLoadFailure(text), text.c_str());
        return nullptr;
    }
    moduleFileName(handle);  // a relative name is made absolute now, in the directory it was loaded from
    lastError = ERROR_SUCCESS;
    return handle;
}

HINSTANCE LoadLibraryW(LPCWSTR libFileName) {
    if (libFileName == nullptr) {
        setLoaderError(ERROR_MOD_NOT_FOUND, "empty library name");
        return nullptr;
    }
    return LoadLibraryA(narrowPath(libFileName).c_str());
}

FARPROC GetProcAddress(HINSTANCE module, LPCSTR procName) {
    if (module == nullptr || procName == nullptr) {
        setLoaderError(ERROR_INVALID_HANDLE, "invalid module handle");
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(module, procName);
    if (symbol == nullptr) {
        const char* reason = dlerror();
        setLoaderError(ERROR_PROC_NOT_FOUND, reason != nullptr ? reason : "symbol resolves to null");
        return nullptr;
    }
    return symbol;
}

BOOL FreeLibrary(HINSTANCE module) {
    if (module == nullptr) {
        setLoaderError(ERROR_INVALID_HANDLE, "invalid module handle");
        return FALSE;
    }
    if (dlclose(module) != 0) {
        const char* reason = dlerror();
        setLoaderError(ERROR_INVALID_HANDLE, reason);
        return FALSE;
    }
    return TRUE;
}

BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleNameOrAddress, HMODULE* module) {
    if (module == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *module = nullptr;
    HMODULE found = nullptr;
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
        found = moduleFromAddress(moduleNameOrAddress);
    } else if (moduleNameOrAddress == nullptr) {
        found = dlopen(nullptr, RTLD_LAZY);
    } else {
        found = dlopen(moduleNameOrAddress, RTLD_LAZY | RTLD_NOLOAD);
    }
    if (found == nullptr) {
        lastError = ERROR_MOD_NOT_FOUND;
        return FALSE;
    }
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) {
        dlopen(moduleFileName(found).c_str(), RTLD_LAZY | RTLD_NOLOAD);  // one more reference, as Windows does
    }
    *module = found;
    return TRUE;
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module) {
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0 || moduleNameOrAddress == nullptr) {
        return GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(moduleNameOrAddress), module);
    }
    return GetModuleHandleExA(flags, narrowPath(moduleNameOrAddress).c_str(), module);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string name = moduleFileName(module);
    if (name.empty() || fileName == nullptr || size == 0) {
        lastError = name.empty() ? ERROR_MOD_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    // Like Windows: a name that does not fit is cut and terminated, and the result is the size.
    DWORD copied = static_cast<DWORD>(std::min<size_t>(name.size(), size - 1));
    std::memcpy(fileName, name.data(), copied);
    fileName[copied] = '\0';
    if (name.size() >= size) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    return copied;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::string name = moduleFileName(module);
    if (name.empty() || fileName == nullptr || size == 0) {
        lastError = name.empty() ? ERROR_MOD_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 1), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), needed);
    size_t length = std::wcslen(wide.c_str());
    DWORD copied = static_cast<DWORD>(std::min<size_t>(length, size - 1));
    std::wmemcpy(fileName, wide.data(), copied);
    fileName[copied] = L'\0';
    if (length >= size) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    return copied;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD errorCode) {
    lastError = errorCode;
}

DWORD FormatMessageW(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/, LPWSTR buffer, DWORD size,
                     void* /*arguments*/) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::string text;
    if (messageId == lastLoaderCode && !lastLoaderText.empty()) {
        text = lastLoaderText;
    } else if (const char* fixed = fixedText(messageId)) {
        text = fixed;
    } else {
        lastError = 317;  // ERROR_MR_MID_NOT_FOUND: no text for this code
        return 0;
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return 0;
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        auto* allocated = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(needed)));
        if (allocated == nullptr) {
            lastError = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, allocated, needed);
        *reinterpret_cast<wchar_t**>(buffer) = allocated;
    } else {
        if (static_cast<DWORD>(needed) > size) {
            lastError = ERROR_INSUFFICIENT_BUFFER;
            return 0;
        }
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, needed);
    }
    return static_cast<DWORD>(needed - 1);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

int MultiByteToWideChar(UINT /*codePage*/, DWORD /*flags*/, LPCSTR multiByteStr, int multiByte, LPWSTR wideCharStr,
                        int wideChar) {
    if (multiByteStr == nullptr || multiByte == 0 || wideChar < 0) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t n = multiByte < 0 ? std::strlen(multiByteStr) + 1 : static_cast<size_t>(multiByte);
    const auto* s = reinterpret_cast<const unsigned char*>(multiByteStr);
    int produced = 0;
    for (size_t i = 0; i < n;) {
        char32_t cp = 0;
        size_t used = decodeUtf8(s + i, n - i, cp);
        if (used == 0) {  // malformed input becomes U+FFFD, as Windows does without MB_ERR_INVALID_CHARS
            cp = 0xFFFD;
            used = 1;
        }
        if (wideCharStr != nullptr) {
            if (produced >= wideChar) {
                lastError = ERROR_INSUFFICIENT_BUFFER;
                return 0;
            }
            wideCharStr[produced] = static_cast<wchar_t>(cp);
        }
        ++produced;
        i += used;
    }
    return produced;
}

int WideCharToMultiByte(UINT /*codePage*/, DWORD /*flags*/, LPCWSTR wideCharStr, int wideChar, LPSTR multiByteStr,
                        int multiByte, LPCSTR /*defaultChar*/, BOOL* usedDefaultChar) {
    if (usedDefaultChar != nullptr) *usedDefaultChar = FALSE;
    if (wideCharStr == nullptr || wideChar == 0 || multiByte < 0) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t n = wideChar < 0 ? std::wcslen(wideCharStr) + 1 : static_cast<size_t>(wideChar);
    int produced = 0;
    for (size_t i = 0; i < n; ++i) {
        auto cp = static_cast<char32_t>(wideCharStr[i]);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        char encoded[4];
        size_t len = encodeUtf8(cp, encoded);
        if (multiByteStr != nullptr) {
            if (produced + static_cast<int>(len) > multiByte) {
                lastError = ERROR_INSUFFICIENT_BUFFER;
                return 0;
            }
            std::memcpy(multiByteStr + produced, encoded, len);
        }
        produced += static_cast<int>(len);
    }
    return produced;
}

int localtime_s(struct tm* result, const time_t* timer) {
    if (result == nullptr || timer == nullptr) return EINVAL;
    return localtime_r(timer, result) != nullptr ? 0 : EINVAL;
}
