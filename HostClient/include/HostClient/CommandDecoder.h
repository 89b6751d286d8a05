// CommandDecoder.h: reads command messages (header, flags, arguments, nested commands) into the host client's
// value types, and finds where handle ids sit in a command or a response (docs/command-format.md).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "HostClient/Codec.h"

namespace VeltrixNS::HostClient {

// A command that does not follow the format; the text is the receiver's: "Malformed command: WHAT\n".
class MalformedCommand : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A handle value inside a message: the offset of its eight id bytes, and the id.
struct HandleSite {
    std::size_t offset;
    std::uint64_t id;
};

struct DecodedCommand {
    Native::Definitions::CommandHeader header;
    Command command;
    // Every handle value of the message (nested commands and containers included), in message order.
    std::vector<HandleSite> handles;
};

// Reads a whole command message, checked as strictly as the receiver does (lengths, nesting, UTF-8, map keys,
// nothing left over); throws MalformedCommand. Handles become Handle::Unowned(id, type); map keys become text
// as Perl makes it (an int64 in decimal, a double as "%.15g", true "1", false ""). With `withContainers` false,
// lists and maps are still checked and their handles found, but stand as null in `command`: a reader that only
// routes a command needs no copy of its data. A heartbeat's body is opaque: its command has no arguments.
DecodedCommand DecodeCommand(std::span<const byte> message, bool withContainers = true);

// The handles in a response (header, then one value); throws MalformedResponse.
std::vector<HandleSite> ResponseHandles(std::span<const byte> response);

}  // namespace VeltrixNS::HostClient
