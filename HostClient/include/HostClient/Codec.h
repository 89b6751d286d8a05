// Codec.h: builds command messages and reads responses in the command format (docs/command-format.md).
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Definitions/commandHeader.h"
#include "Definitions/limits.h"
#include "Definitions/runtimes.h"
#include "HostClient/Value.h"
#include "_common.h"

namespace VeltrixNS::HostClient {

// Value type tags.
enum class Tag : uint8_t {
    Null = 0,
    False = 1,
    True = 2,
    Int64 = 3,
    Double = 4,
    String = 5,
    Bytes = 6,
    List = 7,
    Map = 8,
    Handle = 9,
    Command = 10,
};

// The header's runtime numbers: the host client calls Perl as C++.
constexpr uint8_t PerlRuntimeNumber = static_cast<uint8_t>(Native::Definitions::Runtime::PerlRuntime);
constexpr uint8_t CppRuntimeNumber = static_cast<uint8_t>(Native::Definitions::Runtime::CppRuntime);

// A response that does not follow the format.
class MalformedResponse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends the encoded forms to a buffer that is reused from message to message.
class Encoder {
public:
    explicit Encoder(std::vector<byte>& out) : out_(out) {}

    // The header of a command from C++ to Perl: in memory, or with a network channel's type, address and port.
    static Native::Definitions::CommandHeader CommandHeaderFor(uint8_t calledRuntimeVersion = 0);

    void header(CommandType type, Native::Definitions::CommandHeader base = CommandHeaderFor());
    void commandBody(uint8_t flags, std::span<const Argument> args, int depth = 0);
    // Throws std::invalid_argument for what cannot travel: nesting deeper than the format's limit, a string that
    // is not UTF-8 (send it as Bytes), an empty handle.
    void value(const Value& v, int depth = 0);

    // A whole message: header and body.
    static void message(std::vector<byte>& out, const Command& command,
                        const Native::Definitions::CommandHeader& base = CommandHeaderFor());
    // The Exception response to a command with this header: the map {message, class, stack}, in that order. A
    // text that is not UTF-8 travels as bytes.
    static void exceptionResponse(std::vector<byte>& out, const Native::Definitions::CommandHeader& command,
                                  const std::string& text, const std::string& exceptionClass = "",
                                  const std::string& stack = "");

private:
    void u8(uint8_t b) { out_.push_back(b); }
    void u32(uint32_t n);
    void u64(uint64_t n);
    void text(Tag tag, const std::string& s);

    std::vector<byte>& out_;
};

// Makes the Handle for each handle id a response carries.
using HandleFactory = std::function<Handle(uint64_t id, std::string type)>;

struct Response {
    CommandType type = CommandType::Value;
    Value value;
};

// Reads a response: header, then exactly one value (lists and maps nested at most 64 levels, strings well-formed
// UTF-8). Throws MalformedResponse with the reason and offset.
Response DecodeResponse(std::span<const byte> bytes, const HandleFactory& handles);

}  // namespace VeltrixNS::HostClient
