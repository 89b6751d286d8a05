// channelTypes.h: the channel a command travels on (header byte 2).
#pragma once
#include <cstdint>

namespace VeltrixNS::Native::Definitions {

enum class ChannelType : int32_t { InMemory = 0, TCP = 1, TCP_TLS = 2 };

}  // namespace VeltrixNS::Native::Definitions
