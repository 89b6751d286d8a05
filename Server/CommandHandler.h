// CommandHandler.h: what the server does with one command message.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace VeltrixNS::Server {

class CommandHandler {
public:
    virtual ~CommandHandler() = default;
    // Fills `response` with the answer to the command; never throws (failures become Exception responses).
    virtual void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) = 0;
};

// An Exception response in the command format: response header for `command`, then the map
// {message, class, stack} with `text` as the message.
void BuildExceptionResponse(const std::uint8_t* command, std::uint32_t length, const std::string& text,
                            std::vector<std::uint8_t>& response);

}  // namespace VeltrixNS::Server
