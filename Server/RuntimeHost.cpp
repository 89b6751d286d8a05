// RuntimeHost.cpp: driving the bridge's receiver, per-connection handle ids, access checks, and Exception
// responses for what fails on the way.
#include "RuntimeHost.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "Common/Utf8.h"
#include "Definitions/commandHeader.h"
#include "HostClient/CommandDecoder.h"
#include "IReceiver.h"

namespace VeltrixNS::Server {

namespace {

using HostClient::CommandType;
using Native::Definitions::CommandHeader;
namespace Limits = Native::Definitions::Limits;
constexpr auto kPerlRuntime = HostClient::PerlRuntimeNumber;
// Handle ids a connection sees stay below 2^53, exact in any runtime that keeps numbers as doubles.
constexpr std::uint64_t kIdMask = (std::uint64_t{1} << 53) - 1;
// Handles a closing connection releases per DestructReference.
constexpr std::size_t kReleaseBatch = 65536;

// A failure answered with the receiver's own text (an Exception response with empty class and stack).
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void WriteU64(std::uint8_t* p, std::uint64_t n) {
    std::memcpy(p, &n, sizeof n);
}

bool HasNestedRelease(const HostClient::Command& command) {
    for (const HostClient::Argument& argument : command.args) {
        const HostClient::Command* nested = argument.command();
        if (nested != nullptr && (nested->type == CommandType::DestructReference || HasNestedRelease(*nested)))
            return true;
    }
    return false;
}

// Keeps the supervisor's view of this worker's load current.
class LoadMark {
public:
    LoadMark(std::atomic<int>* counter) : counter_(counter) {
        if (counter_ != nullptr) counter_->fetch_add(1, std::memory_order_relaxed);
    }
    ~LoadMark() {
        if (counter_ != nullptr) counter_->fetch_sub(1, std::memory_order_relaxed);
    }
    LoadMark(const LoadMark&) = delete;
    LoadMark& operator=(const LoadMark&) = delete;

private:
    std::atomic<int>* counter_;
};

}  // namespace

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t valid = VeltrixUtf8InvalidOffset(bytes + at, text.size() - at);
        out.append(text.substr(at, valid));
        at += valid;
        if (at < text.size()) {
            out.push_back('?');
            ++at;
        }
    }
    return out;
}

// One connection's view of the interpreter: its own random handle ids, mapped to the receiver's.
class HostConnection final : public ConnectionHandler {
public:
    HostConnection(RuntimeHost& host, int id) : host_(host), id_(id) {
        std::uint64_t seed[2] = {};
        if (::getrandom(seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
            seed[0] = static_cast<std::uint64_t>(MonotonicNanoseconds()) ^ static_cast<std::uint64_t>(::getpid());
        random_.seed(seed[0] ^ (seed[1] << 1));
    }
    ~HostConnection() override;
    void Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response,
                 CallTimer& timer) override;
    void Answered() override;

private:
    struct Held {
        std::uint64_t receiverId;
        std::string type;
    };
    std::span<const std::uint8_t> Translate(std::span<std::uint8_t> message, std::vector<std::uint8_t>& rebuilt,
                                            std::vector<std::uint64_t>& released);
    void Release(const HostClient::Command& command, const CommandHeader& header, std::vector<std::uint8_t>& rebuilt,
                 std::vector<std::uint64_t>& released);
    void Adopt(std::vector<std::uint8_t>& response);

    RuntimeHost& host_;
    int id_;
    std::mt19937_64 random_;
    std::unordered_map<std::uint64_t, Held> handles_;
};

// The command with this connection's ids replaced by the receiver's; refused when it names a handle the
// connection does not hold or reaches what the policy forbids.
std::span<const std::uint8_t> HostConnection::Translate(std::span<std::uint8_t> message,
                                                        std::vector<std::uint8_t>& rebuilt,
                                                        std::vector<std::uint64_t>& released) {
    if (Native::Definitions::MessageCommandType(message.data()) == CommandType::HeartBeat) return message;
    bool release = Native::Definitions::MessageCommandType(message.data()) == CommandType::DestructReference;
    HostClient::DecodedCommand decoded = HostClient::DecodeCommand(message, release);
    if (HasNestedRelease(decoded.command))
        throw Refused("veltrix-server: DestructReference cannot be nested in another command");
    auto missing = [](const std::string& id) {
        return Refused("No Perl value with handle " + id + " (released or never created)\n");
    };
    for (const HostClient::HandleSite& site : decoded.handles)
        if (!handles_.contains(site.id)) throw missing(std::to_string(site.id));
    auto refusal = host_.options_.policy.Refusal(decoded.command, [this](std::uint64_t id) {
        auto it = handles_.find(id);
        return it == handles_.end() ? std::string() : it->second.type;
    });
    if (refusal) {
        host_.Log("connection #" + std::to_string(id_) + ": refused a command: " + *refusal + " is not allowed");
        throw Refused("veltrix-server: " + *refusal + " is not allowed by this server");
    }
    if (release) {
        Release(decoded.command, decoded.header, rebuilt, released);
        return rebuilt;
    }
    for (const HostClient::HandleSite& site : decoded.handles)
        WriteU64(message.data() + site.offset, handles_.at(site.id).receiverId);
    return message;
}

// DestructReference takes handles, or their numbers as integers or digit strings: the receiver gets its own ids.
void HostConnection::Release(const HostClient::Command& command, const CommandHeader& header,
                             std::vector<std::uint8_t>& rebuilt, std::vector<std::uint64_t>& released) {
    if (command.args.empty()) throw Refused("DestructReference takes at least 1 arguments (handles...), got 0\n");
    std::vector<std::int64_t> ids;
    for (const HostClient::Argument& argument : command.args) {
        const HostClient::Value* v = argument.value();
        if (v == nullptr) throw Refused("veltrix-server: DestructReference takes handles, not nested commands");
        std::string text;
        if (v->is<HostClient::Handle>()) {
            text = std::to_string(v->asHandle().id());
        } else if (v->is<std::int64_t>() && v->asInt() >= 0) {
            text = std::to_string(v->asInt());
        } else if (v->is<std::string>() && !v->asString().empty() &&
                   v->asString().find_first_not_of("0123456789") == std::string::npos) {
            text = v->asString();
        } else {
            throw Refused(v->isNull() ? std::string("DestructReference: expected handles, got null\n")
                                      : "DestructReference: expected handles, got '" + v->toString() + "'\n");
        }
        errno = 0;
        std::uint64_t id = std::strtoull(text.c_str(), nullptr, 10);
        auto it = handles_.find(id);
        if (errno != 0 || it == handles_.end())
            throw Refused("No Perl value with handle " + text + " (released or never created)\n");
        ids.push_back(static_cast<std::int64_t>(it->second.receiverId));
        released.push_back(id);
    }
    HostClient::Command forward{CommandType::DestructReference, command.flags, {ids.begin(), ids.end()}};
    HostClient::Encoder::message(rebuilt, forward);
    header.Write(rebuilt.data());
}

// Every handle in an answer gets a new id of this connection. An answer that is not one value (the receiver never
// sends one) goes back as it is: ids the receiver uses mean nothing to a connection, which is checked on the way in.
void HostConnection::Adopt(std::vector<std::uint8_t>& response) {
    if (Native::Definitions::MessageCommandType(response.data()) == CommandType::HeartBeat) return;
    std::vector<HostClient::HandleSite> sites;
    try {
        sites = HostClient::ResponseHandles(response);
    } catch (const HostClient::MalformedResponse&) {
        return;
    }
    for (const HostClient::HandleSite& site : sites) {
        std::uint32_t nameLength;
        std::memcpy(&nameLength, response.data() + site.offset + 8, sizeof nameLength);
        std::string type(reinterpret_cast<const char*>(response.data() + site.offset + 12), nameLength);
        std::uint64_t id;
        do {
            id = random_() & kIdMask;
        } while (id == 0 || handles_.contains(id));
        handles_.emplace(id, Held{site.id, std::move(type)});
        WriteU64(response.data() + site.offset, id);
    }
}

void HostConnection::Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response,
                             CallTimer& timer) {
    WorkerSlot* slot = host_.options_.slot;
    LoadMark active(slot != nullptr ? &slot->active : nullptr);
    CommandHeader header{};
    try {
        if (length < Limits::HeaderLength) {
            throw Refused("veltrix-server: command of " + std::to_string(length) + " bytes is shorter than the " +
                          std::to_string(Limits::HeaderLength) + "-byte message header");
        }
        header = CommandHeader::Read(command);
        std::vector<std::uint8_t> rebuilt;
        std::vector<std::uint64_t> released;
        std::span<const std::uint8_t> message = Translate({command, length}, rebuilt, released);
        timer.Waiting();
        std::lock_guard<std::mutex> lock(host_.mutex_);
        timer.Started();
        if (slot != nullptr) slot->runningSince.store(MonotonicNanoseconds(), std::memory_order_relaxed);
        struct Idle {
            WorkerSlot* slot;
            ~Idle() {
                if (slot != nullptr) slot->runningSince.store(0, std::memory_order_relaxed);
            }
        } idle{slot};
        if (!host_.initialized_) {
            // The first command names the calling runtime and the requested Perl version.
            host_.session_->receiver()->Initialize(header.callingRuntime, kPerlRuntime, header.calledRuntimeVersion);
            host_.initialized_ = true;
        }
        host_.RoundTrip(message.data(), static_cast<std::uint32_t>(message.size()), response);
        host_.CheckMemory();
        if (response.size() < Limits::HeaderLength)
            throw HostClient::BridgeError("the receiver answered with " + std::to_string(response.size()) + " bytes");
        if (Native::Definitions::MessageCommandType(response.data()) == CommandType::Value)
            for (std::uint64_t id : released) handles_.erase(id);
        Adopt(response);
    } catch (const std::exception& error) {
        if (length < Limits::HeaderLength) {
            std::uint8_t bytes[Limits::HeaderLength] = {kPerlRuntime};
            if (length != 0) std::memcpy(bytes, command, length);
            header = CommandHeader::Read(bytes);
        }
        HostClient::Encoder::exceptionResponse(response, header, ValidUtf8(error.what()));
    }
}

void HostConnection::Answered() {
    std::uint64_t resident = host_.overLimit_.load();
    if (resident == 0 || !host_.options_.retire) return;
    std::lock_guard<std::mutex> lock(host_.mutex_);  // no command runs from here on
    host_.options_.retire(resident);
}

HostConnection::~HostConnection() {
    if (handles_.empty()) return;
    // The connection's values go now: their DESTROY runs.
    std::vector<std::uint8_t> message, response;
    HostClient::Command release{CommandType::DestructReference, HostClient::NoFlags, {}};
    auto flush = [&] {
        HostClient::Encoder::message(message, release);
        release.args.clear();
        try {
            host_.RoundTrip(message.data(), static_cast<std::uint32_t>(message.size()), response);
        } catch (const std::exception& error) {
            host_.Log("connection #" + std::to_string(id_) + ": its handles could not be released: " + error.what());
        }
    };
    std::lock_guard<std::mutex> lock(host_.mutex_);
    for (const auto& [id, held] : handles_) {
        release.args.emplace_back(static_cast<std::int64_t>(held.receiverId));
        if (release.args.size() == kReleaseBatch) flush();
    }
    if (!release.args.empty()) flush();
}

RuntimeHost::RuntimeHost(const std::string& productDir, HostOptions options)
    : session_(std::make_shared<HostClient::Session>(HostClient::PerlClient::BridgePath(productDir), std::nullopt)),
      options_(std::move(options)) {}

RuntimeHost::~RuntimeHost() {
    if (statm_ >= 0) ::close(statm_);
}

void RuntimeHost::Log(const std::string& line) const {
    if (options_.log) return options_.log(line);
    std::string text = "veltrix-server: " + line + "\n";
    std::cerr << text << std::flush;
}

void RuntimeHost::Start(const std::vector<std::string>& modules) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialized_) {
        session_->receiver()->Initialize(HostClient::CppRuntimeNumber, kPerlRuntime, 0);
        initialized_ = true;
    }
    std::vector<std::uint8_t> message, response;
    for (const std::string& module : modules) {
        HostClient::Encoder::message(message, {CommandType::LoadLibrary_, HostClient::NoFlags, {module}});
        RoundTrip(message.data(), static_cast<std::uint32_t>(message.size()), response);
        HostClient::Response answer = HostClient::DecodeResponse(
            response, [](std::uint64_t id, std::string type) { return HostClient::Handle::Unowned(id, type); });
        if (answer.type == CommandType::Exception) {
            const HostClient::Value& text = answer.value.asMap().at("message");
            throw std::runtime_error("cannot preload " + module + ": " + text.asString());
        }
    }
}

std::unique_ptr<ConnectionHandler> RuntimeHost::Connect(int connectionId) {
    return std::make_unique<HostConnection>(*this, connectionId);
}

void RuntimeHost::RoundTrip(const std::uint8_t* message, std::uint32_t length, std::vector<std::uint8_t>& response) {
    Native::Interfaces::IReceiver* receiver = session_->receiver();
    int n = receiver->SendCommand(const_cast<std::uint8_t*>(message), static_cast<std::int32_t>(length));
    if (n < 0) throw HostClient::BridgeError("SendCommand failed with " + std::to_string(n));
    response.resize(static_cast<std::size_t>(n));
    receiver->ReadResponse(response.data(), n);
}

// Resident memory after a command (one read of /proc/self/statm), for the worker's limit.
void RuntimeHost::CheckMemory() {
    if (options_.maxResidentBytes == 0 || overLimit_.load() != 0) return;
    // Opened by the process that reads it: /proc/self is fixed when the file is opened, and workers are forked.
    if (statmOwner_ != ::getpid()) {
        if (statm_ >= 0) ::close(statm_);
        statm_ = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
        statmOwner_ = ::getpid();
    }
    char text[128] = {};
    ssize_t n = ::pread(statm_, text, sizeof text - 1, 0);
    unsigned long long size = 0, resident = 0;
    if (n <= 0 || std::sscanf(text, "%llu %llu", &size, &resident) != 2) return;
    std::uint64_t bytes = resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    if (bytes > options_.maxResidentBytes) overLimit_.store(bytes);
}

}  // namespace VeltrixNS::Server
