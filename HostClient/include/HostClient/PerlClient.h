// PerlClient.h: a C++ host that loads the Perl bridge, starts Perl in-process and runs commands in it.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostClient/Codec.h"
#include "HostClient/Value.h"

namespace VeltrixNS::Native::Interfaces {
class IReceiver;
}

namespace VeltrixNS::HostClient {

// A Perl die, carried back: the error text exactly as Perl had it, the class of an exception object
// (empty for a plain text) and the stack at the die.
class PerlException : public std::runtime_error {
public:
    PerlException(std::string message, std::string perlClass, std::string stackTrace);
    const std::string& message() const { return message_; }
    const std::string& perlClass() const { return perlClass_; }
    const std::string& stackTrace() const { return stackTrace_; }

private:
    std::string message_;
    std::string perlClass_;
    std::string stackTrace_;
};

// The bridge could not be loaded or started, or it failed below Perl (its own exception text is kept).
class BridgeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One loaded bridge and its receiver, shared by the client and every live handle.
class Session : public std::enable_shared_from_this<Session> {
public:
    // Loads the bridge and creates its receiver; with a version it also starts Perl for a C++ caller. Without
    // one the owner initialises receiver() itself (a server learns caller and version from its first command).
    Session(const std::filesystem::path& bridgeLibrary, std::optional<uint8_t> perlVersion);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sends a command and returns the decoded response (an Exception response is returned, not thrown).
    Response Execute(const Command& command);
    // One round trip of an encoded message; the response bytes stay valid until the next round trip.
    std::span<const byte> RoundTrip(std::span<const byte> message);
    // Queues a handle for release; it is released at once unless a command is in progress.
    void Release(uint64_t id) noexcept;

    Native::Interfaces::IReceiver* receiver() const { return receiver_; }

private:
    void FlushReleases() noexcept;

    void* library_ = nullptr;
    Native::Interfaces::IReceiver* receiver_ = nullptr;
    std::vector<byte> message_;
    std::vector<byte> response_;
    std::vector<uint64_t> pendingReleases_;
    bool busy_ = false;
};

class PerlClient {
public:
    // Loads <productDir>/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll and starts Perl.
    explicit PerlClient(const std::filesystem::path& productDir, uint8_t perlVersion = 0);
    static std::filesystem::path BridgePath(const std::filesystem::path& productDir);

    // Runs a command; a Perl failure is thrown as PerlException.
    Value Execute(const Command& command);
    Value Execute(CommandType type, std::vector<Argument> args, uint8_t flags = NoFlags);

    // require Module::Name, or run a file once.
    void LoadLibrary(const std::string& moduleOrPath);
    // A plain function by its full name: List::Util::sum.
    Value CallFunction(const std::string& fullName, std::vector<Argument> args = {}, uint8_t flags = NoFlags);
    // Package->method(args).
    Value CallClassMethod(const std::string& package, const std::string& method, std::vector<Argument> args = {},
                          uint8_t flags = NoFlags);
    // Package->new(args); the object stays in Perl until the last copy of the handle goes.
    Handle CreateInstance(const std::string& package, std::vector<Argument> args = {});
    Value CallMethod(const Handle& object, const std::string& method, std::vector<Argument> args = {},
                     uint8_t flags = NoFlags);
    Value GetField(const Handle& object, const std::string& field);
    void SetField(const Handle& object, const std::string& field, Value value);
    Value GetPackageVariable(const std::string& package, const std::string& name);
    void SetPackageVariable(const std::string& package, const std::string& name, Value value);
    // Elements of a Perl array (or pairs of a hash) held by a handle.
    Value RetrieveArray(const Handle& array, uint8_t flags = NoFlags);
    // Sends a heartbeat; true when it comes back with its body.
    bool HeartBeat();

    Session& session() { return *session_; }

private:
    std::shared_ptr<Session> session_;
};

}  // namespace VeltrixNS::HostClient
