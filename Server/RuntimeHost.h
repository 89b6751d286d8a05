// RuntimeHost.h: the Perl runtime behind the server: the staged bridge library, driven through a host session,
// with each connection's handles kept apart and its commands checked against the access policy.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "AccessPolicy.h"
#include "CommandHandler.h"
#include "HostClient/PerlClient.h"
#include "WorkerTable.h"

namespace VeltrixNS::Server {

struct HostOptions {
    AccessPolicy policy;
    // In a worker process: where it shows its load to the supervisor.
    WorkerSlot* slot = nullptr;
    // Resident memory after which `retire` runs between two commands (a worker process ends there); 0: no limit.
    std::uint64_t maxResidentBytes = 0;
    std::function<void(std::uint64_t residentBytes)> retire;
    // Takes the line of each refused command; empty: standard error.
    std::function<void(const std::string&)> log;
};

class RuntimeHost final : public CommandHandler {
public:
    // Loads <productDir>/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll and creates its receiver;
    // throws HostClient::BridgeError with the loader's or the receiver's text.
    explicit RuntimeHost(const std::string& productDir, HostOptions options = {});
    ~RuntimeHost() override;

    // Starts Perl for a C++ caller and loads `modules` (require): a server that forks workers does this first,
    // so that they share the loaded code. Throws std::runtime_error naming the module that failed. Without it,
    // the first command names the calling runtime and the Perl version the receiver starts with.
    void Start(const std::vector<std::string>& modules);
    // Each connection gets its own handle ids; the handles it still holds are released when it closes.
    std::unique_ptr<ConnectionHandler> Connect(int connectionId) override;
    // In a worker process (after the fork): where its load shows.
    void AttachSlot(WorkerSlot* slot) { options_.slot = slot; }

private:
    friend class HostConnection;
    // One command through the receiver, under mutex_; the answer replaces `response`.
    void RoundTrip(const std::uint8_t* message, std::uint32_t length, std::vector<std::uint8_t>& response);
    void CheckMemory();
    void Log(const std::string& line) const;

    std::shared_ptr<HostClient::Session> session_;
    HostOptions options_;
    bool initialized_ = false;
    // The one interpreter serves one command at a time.
    std::mutex mutex_;
    int statm_ = -1;
    int statmOwner_ = 0;
    std::atomic<std::uint64_t> overLimit_{0};
};

// An error text as a string of the command format: each byte that starts no valid UTF-8 sequence becomes '?'.
std::string ValidUtf8(std::string_view text);

}  // namespace VeltrixNS::Server
