// runtimeOperationMode.h: the role of this library in the process.
#pragma once
#include <cstdint>

namespace VeltrixNS::Native::Definitions {

enum class RuntimeOperationMode : int32_t { RuntimeNotInitialized = -1, CallingRuntime = 0, CalledRuntime = 1 };

}  // namespace VeltrixNS::Native::Definitions
