// Standins.h: looking into stand-in libraries from a test: is one loaded, what calls has it recorded.
#pragma once
#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace veltrix::test {

// Whether the code under test has loaded this file (looked up without loading it).
inline bool StandinLoaded(const std::filesystem::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

// Runs an export of a stand-in that is already loaded; false when it is not loaded.
template <typename F, typename... Args>
bool StandinCall(const std::filesystem::path& library, const char* name, Args... args) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    if (void* symbol = dlsym(handle, name)) reinterpret_cast<F>(symbol)(args...);
    dlclose(handle);
    return true;
}

// The call log of a loaded stand-in (one line per call), or "<not loaded>".
inline std::string StandinCallLog(const std::filesystem::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return "<not loaded>";
    std::string log;
    if (void* symbol = dlsym(handle, "StandinCallLog")) log = reinterpret_cast<const char* (*)()>(symbol)();
    dlclose(handle);
    return log;
}

inline void StandinClearLog(const std::filesystem::path& library) {
    StandinCall<void (*)()>(library, "StandinClearLog");
}

}  // namespace veltrix::test
