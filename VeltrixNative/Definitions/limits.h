// limits.h: the sizes every reader and writer of command messages and frames obeys, in one place.
#pragma once
#include <cstddef>
#include <cstdint>

namespace VeltrixNS::Native::Definitions::Limits {

// Bytes of the command header that starts every command message and response.
inline constexpr std::size_t HeaderLength = 11;
// Lists, maps and nested commands in a command body nest at most this deep.
inline constexpr int MaxNestingDepth = 64;
// Lengths travel as int32_t through the bridge's interfaces: no message or frame body can be larger.
inline constexpr std::uint32_t LargestMessageBytes = 0x7fffffffu;
// Default cap on one frame body on the wire (a client library's or the server's setting may change it).
inline constexpr std::uint32_t DefaultMaxFrameBytes = 64u << 20;
// Header of a frame on the wire: magic, version, kind, body length.
inline constexpr std::size_t FrameHeaderLength = 8;

}  // namespace VeltrixNS::Native::Definitions::Limits
