// CommandHandler.h: what the server does with one command message.
#pragma once
#include <cstdint>
#include <vector>

namespace VeltrixNS::Server {

class CommandHandler {
public:
    virtual ~CommandHandler() = default;
    // Fills `response` with the answer to the command; never throws (failures become Exception responses).
    // Called from every connection's thread at once: implementations serialise what needs it.
    virtual void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) = 0;
};

}  // namespace VeltrixNS::Server
