// CommandHandler.h: what the server does with the commands of each connection.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace VeltrixNS::Server {

// One command in progress, as the server sees it.
class CallTimer {
public:
    virtual ~CallTimer() = default;
    // A handler that waits for a shared resource before it runs the command says so: the call time-out counts
    // from Started() then, not from the moment the handler got the command.
    virtual void Waiting() noexcept = 0;
    virtual void Started() noexcept = 0;
};

// The commands of one connection, in order, on that connection's thread. Destroyed when the connection closes:
// it releases what the connection held.
class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    // Fills `response` with the answer; never throws (failures become Exception responses). The command's bytes
    // are the handler's to change.
    virtual void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response,
                         CallTimer& timer) = 0;
    // The answer has left: a moment between commands.
    virtual void Answered() {}
};

class CommandHandler {
public:
    virtual ~CommandHandler() = default;
    // Called on the new connection's thread, from every connection's thread at once: implementations serialise
    // what needs it. Throws to refuse the connection.
    virtual std::unique_ptr<ConnectionHandler> Connect(int connectionId) = 0;
};

}  // namespace VeltrixNS::Server
