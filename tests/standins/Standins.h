// Standins.h: the call log of a stand-in library that the code under test has loaded.
#pragma once
#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace veltrix::test {

// One line per call, or "<not loaded>"; the library is looked up without being loaded.
inline std::string StandinCallLog(const std::filesystem::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return "<not loaded>";
    std::string log;
    if (void* symbol = dlsym(handle, "StandinCallLog")) log = reinterpret_cast<const char* (*)()>(symbol)();
    dlclose(handle);
    return log;
}

}  // namespace veltrix::test
