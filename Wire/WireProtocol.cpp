// WireProtocol.cpp: validation of incoming frame headers.
#include "WireProtocol.h"

#include <cstdio>

namespace VeltrixNS::Wire {

FrameHeader DecodeHeader(const std::uint8_t* in, std::uint32_t maxFrameBytes) {
    if (in[0] != kMagic0 || in[1] != kMagic1) {
        char text[96];
        std::snprintf(text, sizeof text, "not a Veltrix frame (first bytes 0x%02x 0x%02x, expected 0x56 0x58 \"VX\")",
                      in[0], in[1]);
        throw WireError(Failure::Protocol, text);
    }
    if (in[2] != kVersion) {
        throw WireError(Failure::Protocol, "unsupported wire protocol version " + std::to_string(in[2]) +
                                               " (this side speaks version " + std::to_string(kVersion) + ")");
    }
    if (in[3] < static_cast<std::uint8_t>(FrameKind::Command) || in[3] > static_cast<std::uint8_t>(FrameKind::Error)) {
        throw WireError(Failure::Protocol, "unknown frame kind " + std::to_string(in[3]));
    }
    std::uint32_t length = static_cast<std::uint32_t>(in[4]) | static_cast<std::uint32_t>(in[5]) << 8 |
                           static_cast<std::uint32_t>(in[6]) << 16 | static_cast<std::uint32_t>(in[7]) << 24;
    if (length > maxFrameBytes || length > Limits::LargestMessageBytes) {
        throw WireError(Failure::TooLarge, "frame of " + std::to_string(length) + " bytes exceeds the maximum of " +
                                               std::to_string(maxFrameBytes) + " bytes");
    }
    return FrameHeader{static_cast<FrameKind>(in[3]), length};
}

}  // namespace VeltrixNS::Wire
