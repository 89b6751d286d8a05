// RuntimeHost.h: the Perl runtime behind the server: the staged bridge library, driven through a host session.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "CommandHandler.h"
#include "HostClient/PerlClient.h"

namespace VeltrixNS::Server {

class RuntimeHost final : public CommandHandler {
public:
    // Loads <productDir>/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll and creates its receiver;
    // throws HostClient::BridgeError with the loader's or the receiver's text.
    explicit RuntimeHost(const std::string& productDir);
    void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) override;

private:
    std::shared_ptr<HostClient::Session> session_;
    bool initialized_ = false;
    // The one interpreter serves one command at a time.
    std::mutex mutex_;
};

// An error text as a string of the command format: each byte that starts no valid UTF-8 sequence becomes '?'.
std::string ValidUtf8(std::string_view text);

}  // namespace VeltrixNS::Server
