// PerlClient.cpp: loads the bridge, drives its receiver and turns responses into values or exceptions.
#include "HostClient/PerlClient.h"

#include <dlfcn.h>

#include <algorithm>
#include <exception>

#include "Common/NativeExports.h"
#include "IReceiver.h"

namespace VeltrixNS::HostClient {

namespace {

std::string dlerrorText() {
    const char* e = dlerror();
    return e ? e : "unknown loader error";
}

const std::string& textField(const Map& m, const char* key) {
    static const std::string none;
    auto it = m.find(key);
    if (it == m.end() || !(it->second.is<std::string>() || it->second.is<Bytes>())) return none;
    return it->second.asString();
}

}  // namespace

PerlException::PerlException(std::string message, std::string perlClass, std::string stackTrace)
    : std::runtime_error(message),
      message_(std::move(message)),
      perlClass_(std::move(perlClass)),
      stackTrace_(std::move(stackTrace)) {}

Session::Session(const std::filesystem::path& bridgeLibrary, std::optional<uint8_t> perlVersion) {
    library_ = dlopen(bridgeLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr)
        throw BridgeError("Cannot load the Perl bridge " + bridgeLibrary.string() + ": " + dlerrorText());
    auto createReceiver = reinterpret_cast<CreateReceiverFn>(dlsym(library_, "CreateReceiver"));
    if (createReceiver == nullptr) {
        std::string why = dlerrorText();
        dlclose(library_);
        throw BridgeError("The Perl bridge " + bridgeLibrary.string() + " has no CreateReceiver: " + why);
    }
    try {
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

// The bridge is never unloaded: its receiver, interpreter and exception types live until the process ends.
Session::~Session() = default;

std::span<const byte> Session::RoundTrip(std::span<const byte> message) {
    int n;
    try {
        n = receiver_->SendCommand(const_cast<byte*>(message.data()), static_cast<int32_t>(message.size()));
        if (n < 0) throw BridgeError("SendCommand failed with " + std::to_string(n));
        response_.resize(static_cast<size_t>(n));
        receiver_->ReadResponse(response_.data(), n);
    } catch (const BridgeError&) {
        throw;
    } catch (const std::exception& e) {
        throw BridgeError(e.what());
    }
    return {response_.data(), response_.size()};
}

Response Session::Execute(const Command& command) {
    struct Busy {
        Session& s;
        explicit Busy(Session& session) : s(session) { s.busy_ = true; }
        ~Busy() {
            s.busy_ = false;
            if (!s.pendingReleases_.empty()) s.FlushReleases();
        }
    } busy(*this);
    Encoder::message(message_, command);
    if (message_.size() > INT32_MAX) throw std::length_error("command larger than 2 GiB");
    std::span<const byte> bytes = RoundTrip(message_);
    std::shared_ptr<Session> self = shared_from_this();
    return DecodeResponse(bytes, [&self](uint64_t id, std::string type) {
        return Handle(std::make_shared<const HandleState>(id, std::move(type), self));
    });
}

void Session::Release(uint64_t id) noexcept {
    try {
        pendingReleases_.push_back(id);
    } catch (...) {
        return;  // out of memory: the Perl value stays alive, nothing worse
    }
    if (!busy_) FlushReleases();
}

void Session::FlushReleases() noexcept {
    busy_ = true;
    try {
        Command release{CommandType::DestructReference, NoFlags, {}};
        release.args.reserve(pendingReleases_.size());
        for (uint64_t id : pendingReleases_) release.args.emplace_back(static_cast<int64_t>(id));
        pendingReleases_.clear();
        std::vector<byte> message;
        Encoder::message(message, release);
        RoundTrip(message);
    } catch (...) {
        // Releasing is best effort: a handle that cannot be released only keeps its Perl value alive.
    }
    busy_ = false;
}

std::filesystem::path PerlClient::BridgePath(const std::filesystem::path& productDir) {
    return productDir / "Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll";
}

PerlClient::PerlClient(const std::filesystem::path& productDir, uint8_t perlVersion)
    : session_(std::make_shared<Session>(BridgePath(productDir), perlVersion)) {}

Value PerlClient::Execute(const Command& command) {
    Response r = session_->Execute(command);
    if (r.type == CommandType::Exception) {
        if (!r.value.is<Map>()) throw PerlException("Perl failed: " + r.value.toString(), "", "");
        const Map& m = r.value.asMap();
        throw PerlException(textField(m, "message"), textField(m, "class"), textField(m, "stack"));
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
    if (!v.is<Handle>()) throw std::runtime_error(package + "->new returned " + v.typeName() + ", not an object");
    return v.asHandle();
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

bool PerlClient::HeartBeat() {
    using namespace Native::Definitions;
    static constexpr auto message = HeartBeatMessage(PerlRuntimeNumber, 0, CppRuntimeNumber);
    std::span<const byte> r = session_->RoundTrip(message);
    return r.size() == HeartBeatLength && MessageCommandType(r.data()) == CommandType::HeartBeat &&
           std::equal(r.begin() + HeaderOffset::Body, r.end(), message.begin() + HeaderOffset::Body);
}

}  // namespace VeltrixNS::HostClient
