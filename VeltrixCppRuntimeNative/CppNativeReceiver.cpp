// CppNativeReceiver.cpp: decodes commands with the host client's codec, runs host functions and answers with their
// results or failures in the layout of the Perl receiver's answers.
#include "CppNativeReceiver.h"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "Definitions/commandHeader.h"
#include "HostClient/CommandDecoder.h"
#include "HostFunctionRegistry.h"

namespace VeltrixNS::Runtimes::Cpp::Native {

using HostClient::Argument;
using HostClient::Command;
using HostClient::DecodeCommand;
using HostClient::Encoder;
using HostClient::Handle;
using HostClient::List;
using HostClient::Map;
using HostClient::Value;
using VeltrixNS::Native::Definitions::CommandHeader;
using VeltrixNS::Native::Definitions::CommandType;
using VeltrixNS::Native::Definitions::Limits::HeaderLength;

namespace {

// The receiver's own refusal of a command: an Exception with the text alone, as the Perl receiver sends its own.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a host function threw: the text, the exception's type and where it came from.
struct HostFailure {
    std::string message;
    std::string exceptionClass;
    std::string stack;
};

std::string Demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text != nullptr ? std::string(text.get()) : std::string(name);
}

// Responses of this thread, one per nesting level: a command that a host function's call into Perl sends back here
// is answered one level deeper and leaves the response of the command around it alone.
struct ThreadResponses {
    std::deque<std::vector<byte>> levels;  // a deque keeps references to its elements while it grows
    size_t depth = 0;
    const std::vector<byte>* latest = nullptr;
};
thread_local ThreadResponses responses;

// This thread's level for one command, from its start to its answer.
class Level {
public:
    explicit Level(ThreadResponses& mine) : mine_(mine), depth_(mine.depth++) {
        if (mine_.levels.size() <= depth_) mine_.levels.emplace_back();
    }
    ~Level() { --mine_.depth; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

    size_t depth() const { return depth_; }
    std::vector<byte>& out() { return mine_.levels[depth_]; }

private:
    ThreadResponses& mine_;
    size_t depth_;
};

// The header of a message, zeros where it is too short to have one.
CommandHeader HeaderOf(std::span<const byte> message) {
    if (message.size() >= HeaderLength) return CommandHeader::Read(message.data());
    std::array<byte, HeaderLength> bytes{};
    std::copy(message.begin(), message.end(), bytes.begin());
    return CommandHeader::Read(bytes.data());
}

// The header of the answer to a command with this header, at the start of `out`.
void PutResponseHeader(std::vector<byte>& out, const CommandHeader& command, CommandType type) {
    out.resize(HeaderLength);
    command.ResponseTo(type).Write(out.data());
}

bool HoldsHandle(const Value& value) {
    if (value.is<Handle>()) return true;
    if (value.is<List>()) return std::ranges::any_of(value.asList(), HoldsHandle);
    if (value.is<Map>())
        return std::ranges::any_of(value.asMap(), [](const auto& entry) { return HoldsHandle(entry.second); });
    return false;
}

// The id a handle or its number stands for; none for any other value.
std::optional<uint64_t> FunctionId(const Value& value) {
    if (value.is<Handle>()) return value.asHandle().id();
    if (value.is<int64_t>() && value.asInt() >= 0) return static_cast<uint64_t>(value.asInt());
    return std::nullopt;
}

std::string TakesAtLeastOne(const char* command, const char* usage) {
    return std::string(command) + " takes at least 1 argument (" + usage + "), got 0\n";
}

// Runs a command and the commands nested in its arguments; takes the values over from the decoded command.
class Runner {
public:
    explicit Runner(size_t depth) : depth_(depth) {}

    Value Run(Command& command) {
        switch (command.type) {
            case CommandType::InvokeGlobalMethod: return Invoke(command);
            case CommandType::DestructReference: return Release(command);
            default:
                throw Refusal("Command type " + std::to_string(static_cast<int>(command.type)) +
                              " has no meaning in the C++ runtime: it answers InvokeGlobalMethod (16) and "
                              "DestructReference (17)\n");
        }
    }

    // The function the command called, for messages about its result.
    std::string Called() const { return called_ != nullptr ? called_->DisplayName() : std::string(); }

private:
    // Argument `index` on: a nested command gives its result, or every element of it in list context.
    void Arguments(Command& command, size_t from, List& args) {
        args.reserve(command.args.size() - from);
        for (size_t i = from; i < command.args.size(); ++i) {
            if (Value* value = command.args[i].value()) {
                args.push_back(std::move(*value));
                continue;
            }
            Command nested = *command.args[i].command();  // shared and const: a copy to take values from
            Value result = Run(nested);
            if ((nested.flags & HostClient::ListContext) != 0 && result.is<List>()) {
                for (Value& item : std::move(result).asList()) args.push_back(std::move(item));
            } else {
                args.push_back(std::move(result));
            }
        }
    }

    static std::shared_ptr<const RegisteredFunction> Target(const Value& first) {
        const HostFunctionRegistry& registry = HostFunctionRegistry::Instance();
        if (std::optional<uint64_t> id = FunctionId(first)) {
            auto found = registry.Find(*id);
            if (found == nullptr) {
                throw Refusal("No host function with handle " + std::to_string(*id) + " (released or never created)\n");
            }
            return found;
        }
        if (!first.is<std::string>() && !first.is<HostClient::Bytes>()) {
            throw Refusal("InvokeGlobalMethod: expected a host function name or handle, got " + first.typeName() +
                          "\n");
        }
        const std::string name = HostClient::InMainUnlessQualified(first.asString());
        auto found = registry.Find(name);
        if (found == nullptr) throw Refusal("No host function named " + name + " (never defined, or released)\n");
        return found;
    }

    Value Invoke(Command& command) {
        if (command.args.empty()) {
            throw Refusal(TakesAtLeastOne("InvokeGlobalMethod", "host function name or handle, arguments..."));
        }
        // A nested command may stand in for the function.
        const Value* name = command.args.front().value();
        Command nested = name != nullptr ? Command{} : *command.args.front().command();
        std::shared_ptr<const RegisteredFunction> target = Target(name != nullptr ? *name : Run(nested));
        called_ = target;
        if (depth_ >= static_cast<size_t>(MaxHostCallDepth)) {
            throw Refusal("Host function calls nested deeper than " + std::to_string(MaxHostCallDepth) +
                          " levels: " + Called() + " was not called\n");
        }
        List args;
        Arguments(command, 1, args);
        Value result;
        try {
            result = target->function->Call(args);
        } catch (const abi::__forced_unwind&) {
            throw;  // a cancelled thread unwinds on
        } catch (const std::exception& e) {
            throw HostFailure{e.what(), Demangled(typeid(e).name()), Called() + " called from the calling runtime"};
        } catch (...) {
            const std::type_info* type = abi::__cxa_current_exception_type();
            std::string name = type != nullptr ? Demangled(type->name()) : "unknown";
            throw HostFailure{Called() + " threw a C++ exception of type " + name + ", which is not a std::exception",
                              name, Called() + " called from the calling runtime"};
        }
        if ((command.flags & HostClient::ListContext) != 0 && !result.is<List>()) return List{std::move(result)};
        return result;
    }

    // Every argument must be a registered handle (or its number), else nothing is released.
    static Value Release(const Command& command) {
        if (command.args.empty()) throw Refusal(TakesAtLeastOne("DestructReference", "handles..."));
        std::vector<uint64_t> ids;
        ids.reserve(command.args.size());
        for (const Argument& argument : command.args) {
            const Value* value = argument.value();
            std::optional<uint64_t> id = value != nullptr ? FunctionId(*value) : std::nullopt;
            if (id) {
                ids.push_back(*id);
            } else {
                throw Refusal("DestructReference: expected handles, got " +
                              (value != nullptr ? value->toString() : std::string("a command")) + "\n");
            }
        }
        uint64_t unknown = 0;
        if (!HostFunctionRegistry::Instance().Release(ids, unknown)) {
            throw Refusal("No host function with handle " + std::to_string(unknown) + " (released or never created)\n");
        }
        return Value();
    }

    size_t depth_;
    std::shared_ptr<const RegisteredFunction> called_;
};

// Answers a message into `out`. Every failure becomes an Exception response.
void Answer(std::span<const byte> message, std::vector<byte>& out, size_t depth) {
    const CommandHeader header = HeaderOf(message);
    std::string text, exceptionClass, stack;
    try {
        HostClient::DecodedCommand decoded = DecodeCommand(message);
        if (decoded.command.type == CommandType::HeartBeat) {
            PutResponseHeader(out, header, CommandType::HeartBeat);
            out.insert(out.end(), message.begin() + HeaderLength, message.end());
            return;
        }
        Runner runner(depth);
        Value result = runner.Run(decoded.command);
        if (HoldsHandle(result)) {
            throw Refusal(runner.Called() +
                          " returned a handle, which cannot go back: host functions return null, booleans, numbers, "
                          "text, bytes, lists and maps\n");
        }
        PutResponseHeader(out, header, CommandType::Value);
        try {
            Encoder(out).value(result);
        } catch (const std::exception& e) {
            throw Refusal(runner.Called() + " returned a value that cannot be sent: " + e.what() + "\n");
        }
        return;
    } catch (HostFailure& failure) {
        text = std::move(failure.message);
        exceptionClass = std::move(failure.exceptionClass);
        stack = std::move(failure.stack);
    } catch (const std::exception& e) {
        text = e.what();
    }
    Encoder::exceptionResponse(out, header, text, exceptionClass, stack);
}

}  // namespace

void CppNativeReceiver::SetConfigSource(std::string) {}

// Nothing to start: the C++ runtime is the host process itself.
int CppNativeReceiver::Initialize(byte, byte, byte) {
    return 0;
}

int CppNativeReceiver::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    std::span<const byte> message(
        messageByteArray, messageByteArray != nullptr ? static_cast<size_t>(std::max(messageByteArrayLen, 0)) : 0);
    ThreadResponses& mine = responses;
    Level level(mine);
    std::vector<byte>& out = level.out();
    Answer(message, out, level.depth());
    mine.latest = &out;
    return static_cast<int>(out.size());
}

int CppNativeReceiver::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    const std::vector<byte>* latest = responses.latest;
    if (latest == nullptr || responseByteArray == nullptr || responseByteArrayLen <= 0) return 0;
    size_t count = std::min(latest->size(), static_cast<size_t>(responseByteArrayLen));
    if (count > 0) std::memcpy(responseByteArray, latest->data(), count);
    return 0;
}

void CppNativeReceiver::LogException(byte*, int32_t) {}

// Nothing to load, point at or deploy for the host process's own runtime.
int CppNativeReceiver::LoadOptimizedMethod(std::string) {
    return 0;
}

int CppNativeReceiver::SetEmbeddedRuntime(byte, std::string) {
    return 0;
}

int CppNativeReceiver::DeployRuntime(byte*, int32_t, std::string, byte) {
    return 0;
}

namespace {

[[noreturn]] void NothingToSend() {
    throw std::logic_error(
        "The C++ runtime sends no commands through VeltrixCppRuntimeNative.dll: a C++ host calls other runtimes "
        "through their own libraries");
}

}  // namespace

int CppNativeTransmitter::SendCommand(byte*, int32_t) {
    NothingToSend();
}

int CppNativeTransmitter::ReadResponse(byte*, int32_t) {
    NothingToSend();
}

// The transmitter owns a channel handed to it; it has no use for one.
void CppNativeTransmitter::SetTransportChannel(VeltrixNS::Native::Interfaces::ITransport* pTransport) {
    std::unique_ptr<VeltrixNS::Native::Interfaces::ITransport> discarded(pTransport);
}

int CppNativeTransmitter::SetEmbeddedRuntime(byte, byte, byte, std::string) {
    return 0;
}

int CppNativeTransmitter::DeployRuntime(byte*, int32_t, std::string, byte) {
    return 0;
}

}  // namespace VeltrixNS::Runtimes::Cpp::Native
