// RuntimeNameHandler.h: display names and native library file names of the runtimes.
#pragma once
#include <cstdint>
#include <string>

namespace VeltrixNS::Native::RuntimeNameHandler {

class RuntimeNameHandler {
public:
    RuntimeNameHandler() = delete;
    // "Perl" for 4; "Unknown" outside 0..10.
    static std::string GetRuntimeName(int32_t runtime);
    // "VeltrixPerlRuntimeNative.dll" for 4; "Unknown" outside 0..10.
    static std::string getRuntimeLibraryName(int32_t runtime);
};

}  // namespace VeltrixNS::Native::RuntimeNameHandler
