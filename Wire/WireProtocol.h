// WireProtocol.h: the frame format spoken between the TCP/TLS client libraries and the runtime server.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Definitions/limits.h"

namespace VeltrixNS::Wire {

// Frame header length and frame size limits, shared with the command format.
namespace Limits = Native::Definitions::Limits;

// Every frame: 'V' 'X', protocol version, frame kind, body length (uint32 little-endian), body.
inline constexpr std::uint8_t kMagic0 = 0x56;
inline constexpr std::uint8_t kMagic1 = 0x58;
inline constexpr std::uint8_t kVersion = 1;

enum class FrameKind : std::uint8_t {
    Command = 1,   // client to server: one command message
    Response = 2,  // server to client: the response to the latest command
    Error = 3,     // server to client: the frame was refused; body is the reason, the connection closes
};

// What went wrong, so that callers can decide whether a connection is still usable.
enum class Failure { Connect, Timeout, Closed, Broken, Protocol, TooLarge, Tls, Refused };

class WireError : public std::runtime_error {
public:
    WireError(Failure failure, const std::string& message) : std::runtime_error(message), failure_(failure) {}
    Failure failure() const noexcept { return failure_; }

private:
    Failure failure_;
};

struct FrameHeader {
    FrameKind kind;
    std::uint32_t length;
};

inline void EncodeHeader(std::uint8_t* out, FrameKind kind, std::uint32_t length) {
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = kVersion;
    out[3] = static_cast<std::uint8_t>(kind);
    out[4] = static_cast<std::uint8_t>(length);
    out[5] = static_cast<std::uint8_t>(length >> 8);
    out[6] = static_cast<std::uint8_t>(length >> 16);
    out[7] = static_cast<std::uint8_t>(length >> 24);
}

// Checks magic, version, kind and size; throws WireError (Protocol or TooLarge) naming the fault.
FrameHeader DecodeHeader(const std::uint8_t* in, std::uint32_t maxFrameBytes);

}  // namespace VeltrixNS::Wire
