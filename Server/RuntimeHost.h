// RuntimeHost.h: the Perl runtime behind the server: the staged bridge library and its one receiver.
#pragma once
#include <mutex>
#include <string>

#include "CommandHandler.h"
#include "IReceiver.h"

namespace VeltrixNS::Server {

class RuntimeHost final : public CommandHandler {
public:
    // Loads <productDir>/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll and creates its receiver;
    // throws std::runtime_error with the loader's or the receiver's text.
    explicit RuntimeHost(const std::string& productDir);
    void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) override;

private:
    // The library stays loaded for the life of the process: the interpreter inside it is never torn down.
    void* library_ = nullptr;
    Native::Interfaces::IReceiver* receiver_ = nullptr;
    bool initialized_ = false;
    // The one interpreter serves one command at a time.
    std::mutex mutex_;
};

}  // namespace VeltrixNS::Server
