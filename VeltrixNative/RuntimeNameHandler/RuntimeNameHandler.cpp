// RuntimeNameHandler.cpp: the runtime number tables.
#include "RuntimeNameHandler.h"

#include <array>
#include <string_view>

namespace VeltrixNS::Native::RuntimeNameHandler {

namespace {
constexpr std::array<std::string_view, 11> displayNames = {"Clr",  "Go",     "Jvm", "Netcore", "Perl",   "Python",
                                                           "Ruby", "Nodejs", "Cpp", "Php",     "Python2"};
constexpr std::string_view unknown = "Unknown";

// One unsigned comparison covers negative numbers too.
bool known(int32_t runtime) {
    return static_cast<uint32_t>(runtime) <= 10U;
}
}  // namespace

std::string RuntimeNameHandler::GetRuntimeName(int32_t runtime) {
    return std::string(known(runtime) ? displayNames[static_cast<size_t>(runtime)] : unknown);
}

std::string RuntimeNameHandler::getRuntimeLibraryName(int32_t runtime) {
    if (!known(runtime)) return std::string(unknown);
    return "Veltrix" + std::string(displayNames[static_cast<size_t>(runtime)]) + "RuntimeNative.dll";
}

}  // namespace VeltrixNS::Native::RuntimeNameHandler
