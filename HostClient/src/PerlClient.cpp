// PerlClient.cpp: loads the bridge or a client library, drives its receiver or channel under the session's lock
// and turns responses into values or exceptions.
#include "HostClient/PerlClient.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Common/NativeExports.h"
#include "IReceiver.h"
#include "ITransport.h"

namespace VeltrixNS::HostClient {

namespace fs = std::filesystem;
using Native::Interfaces::ITransport;

namespace {

using CreateTransportChannelFn = ITransport* (*)(std::string, unsigned short);

const char* const NativeDirectory = "Binaries/Native/Windows/X64";
const char* const ReceiverModule = "Binaries/Perl/Windows/X64/lib/Veltrix/Core/Receiver/Receiver.pm";

// Every in-process session drives the one interpreter of the process.
RoundTripLock& InterpreterLock() {
    static RoundTripLock lock;
    return lock;
}

// A thread's turn with the lock while others wait, and how often a sleeping thread looks at the lock by itself.
constexpr auto Turn = std::chrono::milliseconds(2);
constexpr auto LookEvery = std::chrono::microseconds(200);

std::string dlerrorText() {
    const char* e = dlerror();
    return e ? e : "unknown loader error";
}

// The library at `path` and its export `name`; the library stays loaded for the life of the process, as the
// objects it makes do.
void* loadExport(const fs::path& path, const char* name, void*& library, const std::string& what) {
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw BridgeError("Cannot load the " + what + " " + path.string() + ": " + dlerrorText());
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::string why = dlerrorText();
        dlclose(library);
        throw BridgeError("The " + what + " " + path.string() + " has no " + name + ": " + why);
    }
    return symbol;
}

const std::string& textField(const Map& m, const char* key) {
    static const std::string none;
    auto it = m.find(key);
    if (it == m.end() || !(it->second.is<std::string>() || it->second.is<Bytes>())) return none;
    return it->second.asString();
}

}  // namespace

namespace {

// Sleeps while `word` holds `expected`, at most LookEvery (the futex call under std::atomic::wait, with a time-out).
void sleepWhile(std::atomic<int>& word, int expected) {
    timespec timeout{0, std::chrono::nanoseconds(LookEvery).count()};
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void wakeOne(std::atomic<int>& word) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

void RoundTripLock::beginTurn(std::thread::id me) {
    if (turnOf_.load(std::memory_order_relaxed) == me) return;
    turnOf_.store(me, std::memory_order_relaxed);
    turnStart_ = std::chrono::steady_clock::now();
}

void RoundTripLock::acquire(std::thread::id me) {
    int expected = 0;
    if (!handOff_.load(std::memory_order_acquire) &&
        state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        beginTurn(me);
        return;
    }
    // The thread whose turn has just ended lets a waiting thread have the lock first.
    if (turnOf_.load(std::memory_order_relaxed) == me) handOff_.wait(true, std::memory_order_acquire);
    waiters_.fetch_add(1, std::memory_order_relaxed);
    while (state_.exchange(2, std::memory_order_acquire) != 0) sleepWhile(state_, 2);
    waiters_.fetch_sub(1, std::memory_order_relaxed);
    if (handOff_.exchange(false, std::memory_order_release)) handOff_.notify_all();
    beginTurn(me);
}

void RoundTripLock::lock() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) != me) {
        acquire(me);
        owner_.store(me, std::memory_order_relaxed);
    }
    ++depth_;
}

bool RoundTripLock::try_lock() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) != me) {
        int expected = 0;
        if (handOff_.load(std::memory_order_acquire) ||
            !state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return false;
        beginTurn(me);
        owner_.store(me, std::memory_order_relaxed);
    }
    ++depth_;
    return true;
}

void RoundTripLock::unlock() {
    if (--depth_ > 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    // Sleepers are woken when the turn goes to one of them; otherwise they look again by themselves. An
    // uncontended unlock reads no clock.
    const bool handOff =
        waiters_.load(std::memory_order_relaxed) > 0 && std::chrono::steady_clock::now() - turnStart_ >= Turn;
    if (handOff) handOff_.store(true, std::memory_order_release);
    state_.store(0, std::memory_order_release);
    if (handOff) wakeOne(state_);
}

PerlException::PerlException(std::string message, std::string perlClass, std::string stackTrace, Handle object)
    : std::runtime_error(message),
      message_(std::move(message)),
      perlClass_(std::move(perlClass)),
      stackTrace_(std::move(stackTrace)),
      object_(std::move(object)) {}

PerlExit::PerlExit(std::string message, std::string stackTrace, int64_t status)
    : PerlException(std::move(message), "Veltrix::Exit", std::move(stackTrace)), status_(status) {}

Session::Session(const fs::path& bridgeLibrary, std::optional<uint8_t> perlVersion)
    : lock_(InterpreterLock()), nativeDirectory_(fs::absolute(bridgeLibrary).parent_path()) {
    auto createReceiver =
        reinterpret_cast<CreateReceiverFn>(loadExport(bridgeLibrary, "CreateReceiver", library_, "Perl bridge"));
    if (perlVersion) {
        // The bridge finds the module four levels above its own directory; without it Perl has nothing to run.
        fs::path module =
            (fs::absolute(bridgeLibrary).parent_path() / "../../../.." / ReceiverModule).lexically_normal();
        if (!fs::is_regular_file(module)) {
            throw BridgeError("Cannot start Perl: the product tree has no receiver module " + module.string());
        }
    }
    try {
        std::lock_guard lock(lock_);
        receiver_ = createReceiver(RuntimeOperationMode::CalledRuntime);
        if (receiver_ == nullptr) throw BridgeError("CreateReceiver returned no receiver");
        if (perlVersion) receiver_->Initialize(CppRuntimeNumber, PerlRuntimeNumber, *perlVersion);
    } catch (const BridgeError&) {
        throw;
    } catch (const std::exception& e) {
        // The library stays loaded: the receiver and the interpreter belong to the process from now on.
        throw BridgeError(std::string("Perl did not start: ") + e.what());
    }
}

Session::Session(const RemoteOptions& remote) : lock_(connectionLock_) {
    const char* name = remote.tls ? "VeltrixTcpTlsClient.dll" : "VeltrixTcpClient.dll";
    fs::path product = remote.productDir.empty() ? PerlClient::DefaultProductDir() : remote.productDir;
    auto create = reinterpret_cast<CreateTransportChannelFn>(
        loadExport(product / NativeDirectory / name, "CreateTransportChannel", library_, "client library"));
    std::string endpoint = remote.address + ":" + std::to_string(remote.port);
    channel_.reset(create(remote.address, remote.port));
    if (channel_ == nullptr) throw ConnectionError(std::string(name) + " made no channel to " + endpoint);
    header_.calledRuntimeVersion = remote.perlVersion;
    header_.channelType = remote.tls ? 2 : 1;
    header_.port = remote.port;
    in_addr ipv4{};
    if (inet_pton(AF_INET, remote.address.c_str(), &ipv4) == 1) {
        std::memcpy(header_.address.data(), &ipv4.s_addr, header_.address.size());
    }
    try {
        channel_->Initialize(CppRuntimeNumber, PerlRuntimeNumber, remote.perlVersion);
    } catch (const std::exception& e) {
        throw ConnectionError(e.what());
    }
}

// Neither library is ever unloaded: the receiver and interpreter live until the process ends, and channel
// objects need their library's code to be destroyed.
Session::~Session() = default;

void Session::Exchange(std::span<const byte> message, std::vector<byte>& response) {
    if (message.size() > INT32_MAX) throw std::length_error("command larger than 2 GiB");
    std::lock_guard lock(lock_);
    try {
        int n;
        auto* bytes = const_cast<byte*>(message.data());
        auto length = static_cast<int32_t>(message.size());
        if (channel_) {
            n = channel_->SendCommand(bytes, length);
        } else {
            // What the host printed comes out before what Perl prints for this command.
            std::fflush(stdout);
            n = receiver_->SendCommand(bytes, length);
        }
        if (n < 0) throw BridgeError("SendCommand failed with " + std::to_string(n));
        response.resize(static_cast<size_t>(n));
        if (channel_)
            channel_->ReadResponse(response.data(), n);
        else
            receiver_->ReadResponse(response.data(), n);
    } catch (const BridgeError&) {
        throw;
    } catch (const std::exception& e) {
        if (channel_) throw ConnectionError(e.what());
        throw BridgeError(e.what());
    }
}

std::span<const byte> Session::RoundTrip(std::span<const byte> message) {
    Exchange(message, response_);
    return {response_.data(), response_.size()};
}

Response Session::Execute(const Command& command) {
    // Buffers reused by the thread. A command that Perl code runs back through C++ on this thread runs inside the
    // receiver's SendCommand, after it has copied this message and before this response is read. Releases use
    // buffers of their own: a handle dropped while a response is decoded must not overwrite it.
    thread_local std::vector<byte> message, response;
    Encoder::message(message, command, header_);
    Exchange(message, response);
    std::shared_ptr<Session> self = shared_from_this();
    return DecodeResponse(response, [&self](uint64_t id, std::string type) {
        return Handle(std::make_shared<const HandleState>(id, std::move(type), self));
    });
}

void Session::Release(uint64_t id) noexcept {
    try {
        std::vector<byte> message, response;
        Encoder::message(message, Command{CommandType::DestructReference, NoFlags, {static_cast<int64_t>(id)}},
                         header_);
        Exchange(message, response);
    } catch (...) {
        // Releasing is best effort: a handle that cannot be released only keeps its Perl value alive.
    }
}

fs::path PerlClient::BridgePath(const fs::path& productDir) {
    return productDir / NativeDirectory / "VeltrixPerl540RuntimeNative.dll";
}

PerlClient::PerlClient(const fs::path& productDir, uint8_t perlVersion)
    : session_(std::make_shared<Session>(BridgePath(productDir), perlVersion)) {}

PerlClient PerlClient::Connect(const RemoteOptions& options) {
    return PerlClient(std::make_shared<Session>(options));
}

Value PerlClient::Execute(const Command& command) {
    Response r = session_->Execute(command);
    if (r.type == CommandType::Exception) {
        if (!r.value.is<Map>()) throw PerlException("Perl failed: " + r.value.toString(), "", "");
        const Map& m = r.value.asMap();
        if (auto exit = m.find("exit"); exit != m.end() && exit->second.is<int64_t>())
            throw PerlExit(textField(m, "message"), textField(m, "stack"), exit->second.asInt());
        Handle object;
        if (auto o = m.find("object"); o != m.end() && o->second.is<Handle>()) object = o->second.asHandle();
        throw PerlException(textField(m, "message"), textField(m, "class"), textField(m, "stack"), std::move(object));
    }
    if (r.type != CommandType::Value) {
        throw MalformedResponse("Malformed response: command type " + std::to_string(static_cast<int>(r.type)) +
                                " where a result (0) or an exception (10) was expected");
    }
    return std::move(r.value);
}

Value PerlClient::Execute(CommandType type, std::vector<Argument> args, uint8_t flags) {
    return Execute(Command{type, flags, std::move(args)});
}

void PerlClient::LoadLibrary(const std::string& moduleOrPath) {
    Execute(CommandType::LoadLibrary_, {moduleOrPath});
}

Value PerlClient::CallFunction(const std::string& fullName, std::vector<Argument> args, uint8_t flags) {
    args.insert(args.begin(), fullName);
    return Execute(CommandType::InvokeGlobalMethod, std::move(args), flags);
}

Value PerlClient::CallClassMethod(const std::string& package, const std::string& method, std::vector<Argument> args,
                                  uint8_t flags) {
    args.insert(args.begin(), {package, method});
    return Execute(CommandType::InvokeStaticMethod, std::move(args), flags);
}

Handle PerlClient::CreateInstance(const std::string& package, std::vector<Argument> args) {
    args.insert(args.begin(), package);
    Value v = Execute(CommandType::CreateClassInstance, std::move(args));
    if (!v.is<Handle>()) throw ValueError(package + "->new returned " + v.typeName() + ", not an object");
    return std::move(v).asHandle();
}

Value PerlClient::CallMethod(const Handle& object, const std::string& method, std::vector<Argument> args,
                             uint8_t flags) {
    args.insert(args.begin(), {object, method});
    return Execute(CommandType::InvokeInstanceMethod, std::move(args), flags);
}

Value PerlClient::GetField(const Handle& object, const std::string& field) {
    return Execute(CommandType::GetInstanceField, {object, field});
}

void PerlClient::SetField(const Handle& object, const std::string& field, Value value) {
    Execute(CommandType::SetInstanceField, {object, field, std::move(value)});
}

Value PerlClient::GetPackageVariable(const std::string& package, const std::string& name) {
    return Execute(CommandType::GetStaticField, {package, name});
}

void PerlClient::SetPackageVariable(const std::string& package, const std::string& name, Value value) {
    Execute(CommandType::SetStaticField, {package, name, std::move(value)});
}

Value PerlClient::RetrieveArray(const Handle& array, uint8_t flags) {
    return Execute(CommandType::RetrieveArray, {array}, flags);
}

Value PerlClient::Eval(const std::string& code, uint8_t flags) {
    return Execute(EvalCommand, {code}, flags);
}

void PerlClient::AddIncludePath(const fs::path& directory) {
    // As bytes: Perl gets the path's bytes unchanged, whatever they are. Read and write are one step for other
    // threads; entries that are hooks (code references) come back as handles and go back as the same values.
    const Value dir = Bytes{directory.string()};
    auto lock = Lock();
    List inc{dir};
    for (Value& entry : GetPackageVariable("main", "@INC").asList())
        if (entry.is<Handle>() || entry.asString() != directory.string()) inc.push_back(std::move(entry));
    SetPackageVariable("main", "@INC", Value(std::move(inc)));
}

bool PerlClient::HeartBeat() {
    using namespace Native::Definitions;
    auto message = HeartBeatMessage(PerlRuntimeNumber, session_->header().calledRuntimeVersion, CppRuntimeNumber);
    CommandHeader header = session_->header();
    header.commandType = static_cast<uint8_t>(CommandType::HeartBeat);
    header.Write(message.data());
    auto lock = session_->Lock();
    std::span<const byte> r = session_->RoundTrip(message);
    return r.size() == HeartBeatLength && MessageCommandType(r.data()) == CommandType::HeartBeat &&
           std::equal(r.begin() + HeaderOffset::Body, r.end(), message.begin() + HeaderOffset::Body);
}

}  // namespace VeltrixNS::HostClient
