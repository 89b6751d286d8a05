// loggingLevel.h: how much the library reports on its own.
#pragma once
#include <cstdint>

namespace VeltrixNS::Native::Definitions {

enum class LoggingLevel : int32_t { OFF = 0, RUNTIMEINFO = 1, ALL = 2 };

}  // namespace VeltrixNS::Native::Definitions
