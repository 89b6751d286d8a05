// perlVersions.h: Perl versions a caller may ask for (the called runtime's version byte).
#pragma once
#include <cstdint>

namespace VeltrixNS::Native::Definitions {

enum class PerlVersion : int32_t { DEFAULT = 0, V530 = 1, V532 = 2, V534 = 3, V540 = 4 };

}  // namespace VeltrixNS::Native::Definitions
