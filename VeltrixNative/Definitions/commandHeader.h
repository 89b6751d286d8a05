// commandHeader.h: the 11-byte header that starts every command message and response, and the heartbeat message.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Definitions/commandTypes.h"
#include "Definitions/limits.h"

namespace VeltrixNS::Native::Definitions {

// Field offsets. The port is little-endian (low byte at offset 7); the calling runtime sits after the
// address and port, not next to the called runtime.
namespace HeaderOffset {
inline constexpr std::size_t CalledRuntime = 0;
inline constexpr std::size_t CalledRuntimeVersion = 1;
inline constexpr std::size_t ChannelType = 2;
inline constexpr std::size_t Address = 3;  // four octets, offsets 3 to 6
inline constexpr std::size_t Port = 7;     // two bytes, offsets 7 and 8
inline constexpr std::size_t CallingRuntime = 9;
inline constexpr std::size_t CommandType = 10;
inline constexpr std::size_t Body = Limits::HeaderLength;
}  // namespace HeaderOffset

// The header fields as values. Read and Write need HeaderLength bytes; callers check the length first.
struct CommandHeader {
    std::uint8_t calledRuntime = 0;
    std::uint8_t calledRuntimeVersion = 0;
    std::uint8_t channelType = 0;
    std::array<std::uint8_t, 4> address{};
    std::uint16_t port = 0;
    std::uint8_t callingRuntime = 0;
    std::uint8_t commandType = 0;

    static constexpr CommandHeader Read(const std::uint8_t* message) {
        CommandHeader h;
        h.calledRuntime = message[HeaderOffset::CalledRuntime];
        h.calledRuntimeVersion = message[HeaderOffset::CalledRuntimeVersion];
        h.channelType = message[HeaderOffset::ChannelType];
        for (std::size_t i = 0; i < h.address.size(); ++i) h.address[i] = message[HeaderOffset::Address + i];
        h.port = static_cast<std::uint16_t>(message[HeaderOffset::Port] | (message[HeaderOffset::Port + 1] << 8));
        h.callingRuntime = message[HeaderOffset::CallingRuntime];
        h.commandType = message[HeaderOffset::CommandType];
        return h;
    }

    constexpr void Write(std::uint8_t* out) const {
        out[HeaderOffset::CalledRuntime] = calledRuntime;
        out[HeaderOffset::CalledRuntimeVersion] = calledRuntimeVersion;
        out[HeaderOffset::ChannelType] = channelType;
        for (std::size_t i = 0; i < address.size(); ++i) out[HeaderOffset::Address + i] = address[i];
        out[HeaderOffset::Port] = static_cast<std::uint8_t>(port);
        out[HeaderOffset::Port + 1] = static_cast<std::uint8_t>(port >> 8);
        out[HeaderOffset::CallingRuntime] = callingRuntime;
        out[HeaderOffset::CommandType] = commandType;
    }

    constexpr std::array<std::uint8_t, Limits::HeaderLength> Bytes() const {
        std::array<std::uint8_t, Limits::HeaderLength> out{};
        Write(out.data());
        return out;
    }

    constexpr Definitions::CommandType Type() const { return static_cast<Definitions::CommandType>(commandType); }

    // The header of the answer to this command: back to the caller (its runtime at offset 0), from the
    // called runtime (offset 9), no channel, address or port.
    constexpr CommandHeader ResponseTo(Definitions::CommandType type) const {
        CommandHeader r;
        r.calledRuntime = callingRuntime;
        r.callingRuntime = calledRuntime;
        r.commandType = static_cast<std::uint8_t>(type);
        return r;
    }

    // The four octets as "a.b.c.d", without leading zeros.
    std::string AddressText() const {
        std::string text;
        for (std::size_t i = 0; i < address.size(); ++i) {
            if (i != 0) text += '.';
            text += std::to_string(address[i]);
        }
        return text;
    }
};

// The command type of a message of at least HeaderLength bytes.
constexpr CommandType MessageCommandType(const std::uint8_t* message) {
    return static_cast<CommandType>(message[HeaderOffset::CommandType]);
}

// The 13-byte heartbeat: header with command type HeartBeat, body "12". Towards the called runtime it
// carries that runtime's version; towards the calling runtime the version byte is 0.
inline constexpr std::size_t HeartBeatLength = Limits::HeaderLength + 2;
constexpr std::array<std::uint8_t, HeartBeatLength> HeartBeatMessage(std::uint8_t toRuntime, std::uint8_t version,
                                                                     std::uint8_t fromRuntime) {
    CommandHeader h;
    h.calledRuntime = toRuntime;
    h.calledRuntimeVersion = version;
    h.callingRuntime = fromRuntime;
    h.commandType = static_cast<std::uint8_t>(CommandType::HeartBeat);
    std::array<std::uint8_t, HeartBeatLength> out{};
    h.Write(out.data());
    out[HeaderOffset::Body] = 0x31;
    out[HeaderOffset::Body + 1] = 0x32;
    return out;
}

}  // namespace VeltrixNS::Native::Definitions
