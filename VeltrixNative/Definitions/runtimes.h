// runtimes.h: numbers of the runtimes the bridge libraries talk to.
#pragma once
#include <cstdint>

namespace VeltrixNS::Native::Definitions {

enum class Runtime : int32_t {
    ClrRuntime = 0,
    GoRuntime = 1,
    JvmRuntime = 2,
    NetcoreRuntime = 3,
    PerlRuntime = 4,
    PythonRuntime = 5,
    RubyRuntime = 6,
    NodejsRuntime = 7,
    CppRuntime = 8,
    PhpRuntime = 9,
    Python27Runtime = 10,
    RuntimesCount = 11
};

}  // namespace VeltrixNS::Native::Definitions
