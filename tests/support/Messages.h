// Messages.h: how every test builds command messages and reads responses: the host client's codec and the
// shared command header, never bytes indexed by hand.
#pragma once
#include <algorithm>
#include <initializer_list>
#include <span>
#include <vector>

#include "Definitions/commandHeader.h"
#include "HostClient/Codec.h"

namespace veltrix::test {

using VeltrixNS::HostClient::Argument;
using VeltrixNS::HostClient::Command;
using VeltrixNS::HostClient::Response;
using VeltrixNS::HostClient::Value;
using VeltrixNS::Native::Definitions::CommandHeader;
using VeltrixNS::Native::Definitions::CommandType;

// A command from C++ to Perl on the in-memory channel, encoded exactly as the host client sends it.
inline std::vector<byte> commandMessage(CommandType type, std::vector<Argument> args = {}, uint8_t flags = 0) {
    std::vector<byte> out;
    VeltrixNS::HostClient::Encoder::message(out, Command{type, flags, std::move(args)});
    return out;
}

// The same message under another header (other runtimes, a network channel, an address and port).
inline std::vector<byte> withHeader(const CommandHeader& header, std::vector<byte> message) {
    if (message.size() < VeltrixNS::Native::Definitions::Limits::HeaderLength)
        message.resize(VeltrixNS::Native::Definitions::Limits::HeaderLength);
    header.Write(message.data());
    return message;
}

// A header followed by raw body bytes, for bodies the encoder would refuse to make.
inline std::vector<byte> rawMessage(const CommandHeader& header, std::span<const byte> body) {
    std::vector<byte> out(VeltrixNS::Native::Definitions::Limits::HeaderLength + body.size());
    header.Write(out.data());
    std::copy(body.begin(), body.end(), out.begin() + VeltrixNS::Native::Definitions::Limits::HeaderLength);
    return out;
}
inline std::vector<byte> rawMessage(const CommandHeader& header, std::initializer_list<byte> body = {}) {
    return rawMessage(header, std::span<const byte>(body.begin(), body.size()));
}

// A response decoded by the host client's decoder; handles come back unowned (nothing releases them).
inline Response decodeResponse(std::span<const byte> bytes) {
    return VeltrixNS::HostClient::DecodeResponse(bytes, [](uint64_t id, std::string type) {
        return VeltrixNS::HostClient::Handle::Unowned(id, std::move(type));
    });
}

}  // namespace veltrix::test
