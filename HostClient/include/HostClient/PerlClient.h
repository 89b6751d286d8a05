// PerlClient.h: a C++ host that runs commands in Perl: in this process through the Perl bridge, or in a
// veltrix-server over TCP or TLS through the product's client libraries, with one API for both.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HostClient/Codec.h"
#include "HostClient/HostFunction.h"
#include "HostClient/Value.h"

namespace VeltrixNS::Native::Interfaces {
class IReceiver;
class ITransport;
}  // namespace VeltrixNS::Native::Interfaces

namespace VeltrixNS::HostClient {

// A Perl die, carried back: the error text exactly as Perl had it, the class of an exception object (empty for a
// plain text), the stack at the die and, when Perl died with a reference, a handle to that object, whose methods
// the host can call (empty otherwise).
class PerlException : public std::runtime_error {
public:
    PerlException(std::string message, std::string perlClass, std::string stackTrace, Handle object = {});
    const std::string& message() const { return message_; }
    const std::string& perlClass() const { return perlClass_; }
    const std::string& stackTrace() const { return stackTrace_; }
    const Handle& object() const { return object_; }

private:
    std::string message_;
    std::string perlClass_;
    std::string stackTrace_;
    Handle object_;
};

// Perl code called exit: the host goes on; the class is "Veltrix::Exit" and status() is exit's argument.
class PerlExit : public PerlException {
public:
    PerlExit(std::string message, std::string stackTrace, int64_t status);
    int64_t status() const { return status_; }

private:
    int64_t status_;
};

// The bridge could not be loaded or started, or it failed below Perl (its own exception text is kept).
class BridgeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A remote client could not reach its veltrix-server, or lost the connection during a command (the client
// library's text, naming the address). The next command opens a new connection.
class ConnectionError : public BridgeError {
public:
    using BridgeError::BridgeError;
};

// Where a remote client finds its veltrix-server. Certificates, the expected server name and time-outs are the
// client libraries' settings: the VELTRIX_TLS_* and VELTRIX_TCP_* environment variables, read at every connect.
struct RemoteOptions {
    std::filesystem::path productDir;   // product root whose Binaries/Native/Windows/X64 holds the client libraries;
                                        // empty: PerlClient::DefaultProductDir()
    std::string address = "127.0.0.1";  // IPv4 address or host name of the server
    uint16_t port = 8090;
    bool tls = false;  // VeltrixTcpTlsClient.dll instead of VeltrixTcpClient.dll
    uint8_t perlVersion = 0;
};

// The lock of a session's round trips (a Lockable). Recursive: the thread that holds it may take it again.
// Waiting threads sleep. A thread keeps the lock for its consecutive calls during a turn of 2 milliseconds; when
// its turn is over and others wait, the lock goes to a waiting thread first. Turns keep the interpreter in one
// core's caches: moving it to another core costs far more than a small call. A sleeping thread also looks at the
// lock every 200 microseconds by itself, so a lock freed for good is taken within about that time.
class RoundTripLock {
public:
    void lock();
    bool try_lock();
    void unlock();

private:
    void acquire(std::thread::id me);
    void beginTurn(std::thread::id me);

    std::atomic<int> state_{0};              // 0 free, 1 held, 2 held and a thread may sleep on it
    std::atomic<int> waiters_{0};            // threads in acquire's slow path
    std::atomic<bool> handOff_{false};       // the lock is for a waiting thread, not for the one whose turn ended
    std::atomic<std::thread::id> turnOf_{};  // whose turn it is
    std::chrono::steady_clock::time_point turnStart_;  // written and read under the lock
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the owner only
};

// Where commands go: the process's one Perl interpreter behind the bridge's receiver, or one connection to a
// veltrix-server. Shared by the client, its copies and every live handle. Thread-safe: each round trip (command
// and response) holds the session's lock, which is one process-wide lock for every in-process session and one
// lock per connection for a remote one; the lock is recursive, so Perl code that calls back into C++ which calls
// Perl again on the same thread does not deadlock.
class Session : public std::enable_shared_from_this<Session> {
public:
    // Loads the bridge and creates its receiver; with a version it also checks for the receiver module and starts
    // Perl for a C++ caller. Without one the owner initialises receiver() itself (a server learns caller and
    // version from its first command).
    Session(const std::filesystem::path& bridgeLibrary, std::optional<uint8_t> perlVersion);
    // Loads the client library and connects; throws ConnectionError when the server cannot be reached.
    explicit Session(const RemoteOptions& remote);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sends a command and returns the decoded response (an Exception response is returned, not thrown).
    Response Execute(const Command& command);
    // One round trip of an encoded message. The bytes stay valid until the next RoundTrip of this session: a
    // caller that shares the session between threads holds Lock() until it has read them.
    std::span<const byte> RoundTrip(std::span<const byte> message);
    // Releases a handle on the Perl side (best effort: a failure only keeps the Perl value alive).
    void Release(uint64_t id) noexcept;
    // The lock every round trip of this session takes; holding it makes several calls one step for other threads.
    std::unique_lock<RoundTripLock> Lock() { return std::unique_lock(lock_); }
    // The header every command of this session starts with (a network channel's type, address and port remotely).
    const Native::Definitions::CommandHeader& header() const { return header_; }

    // The bridge's receiver; null for a remote session.
    Native::Interfaces::IReceiver* receiver() const { return receiver_; }
    // The directory of the bridge and its sibling libraries; empty for a remote session.
    const std::filesystem::path& nativeDirectory() const { return nativeDirectory_; }

private:
    void Exchange(std::span<const byte> message, std::vector<byte>& response);

    void* library_ = nullptr;
    Native::Interfaces::IReceiver* receiver_ = nullptr;
    std::unique_ptr<Native::Interfaces::ITransport> channel_;
    RoundTripLock connectionLock_;
    RoundTripLock& lock_;
    std::filesystem::path nativeDirectory_;
    Native::Definitions::CommandHeader header_ = Encoder::CommandHeaderFor();
    std::vector<byte> response_;
};

// Calls into Perl. Copies share one session; any number of clients and threads may call at once (see Session).
class PerlClient {
public:
    // Loads <productDir>/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll and starts Perl in this
    // process (once: every in-process client shares the one interpreter).
    explicit PerlClient(const std::filesystem::path& productDir, uint8_t perlVersion = 0);
    // The same with DefaultProductDir().
    PerlClient();
    // A client of the Perl runtime behind a veltrix-server; the same calls, values, handles and exceptions.
    static PerlClient Connect(const RemoteOptions& options);
    static std::filesystem::path BridgePath(const std::filesystem::path& productDir);
    // The product root used when none is given: the VELTRIX_PRODUCT environment variable when set; else the tree
    // installed with this library (or with the running program), found from where it is now, so that a moved
    // installation still finds it; else the tree staged by the build that made the library; else the tree of the
    // configured installation prefix.
    static std::filesystem::path DefaultProductDir();

    // Runs a command; a Perl failure is thrown as PerlException (PerlExit for exit).
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
    // A package variable: "name" or "$name", "@name", "%name"; in main also Perl's special variables ("$]", "$0",
    // "%ENV", "@INC"...).
    Value GetPackageVariable(const std::string& package, const std::string& name);
    void SetPackageVariable(const std::string& package, const std::string& name, Value value);
    // Elements of a Perl array (or pairs of a hash) held by a handle.
    Value RetrieveArray(const Handle& array, uint8_t flags = NoFlags);
    // Runs a string of Perl code in package main, in scalar context unless ListContext; a compile or run-time
    // error is thrown as PerlException with Perl's text.
    Value Eval(const std::string& code, uint8_t flags = NoFlags);
    // Puts a directory first in @INC (as `use lib` does: an earlier copy of it is dropped).
    void AddIncludePath(const std::filesystem::path& directory);
    // Sends a heartbeat; true when it comes back with its body.
    bool HeartBeat();
    // Holds off other threads' calls on this client's Perl (in process: every client's) until the lock goes.
    std::unique_lock<RoundTripLock> Lock() { return session_->Lock(); }

    // Host functions: C++ code that Perl code calls, through VeltrixCppRuntimeNative.dll beside the bridge (in
    // process only; a remote client throws BridgeError). `function` takes the arguments as a List (a callable on
    // `const List&`) or typed (see MakeHostCallable); what it throws reaches Perl as a die. It runs on the thread
    // that called Perl, which holds the client's lock, and may call Perl again on that thread (to 64 levels).
    //
    // Define installs the Perl sub `name` ("Package::sub"; a name without "::" is in main), replacing one of that
    // name, and returns a handle to it (a CODE reference). Perl code may also call it by name as the C++ runtime's
    // function: Veltrix::Client->new(runtime => 'Cpp')->invoke_global_method(name, ...).
    template <typename F>
    Handle Define(const std::string& name, F function) {
        std::string full = QualifiedSubName(name);
        return DefineFunction(full, MakeHostCallable(std::move(function), full));
    }
    // A CODE reference that calls `function`, to pass to Perl code as any other value (a sort comparator, a handler
    // kept for later, the block of List::Util::first). Called with no arguments, it gets Perl's $_ when that is
    // defined. The function lives while C++ holds the handle or Perl code refers to the sub.
    template <typename F>
    Handle Callback(F function) {
        return DefineFunction("", MakeHostCallable(std::move(function), "C++ callback"));
    }
    // "Package::sub" for a sub name; "main::name" without a package. Throws std::invalid_argument for anything that
    // is not a Perl sub name.
    static std::string QualifiedSubName(const std::string& name);

    Session& session() { return *session_; }

private:
    explicit PerlClient(std::shared_ptr<Session> session) : session_(std::move(session)) {}
    Handle DefineFunction(const std::string& name, HostCallable function);

    std::shared_ptr<Session> session_;
};

}  // namespace VeltrixNS::HostClient
