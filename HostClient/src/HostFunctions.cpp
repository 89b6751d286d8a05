// HostFunctions.cpp: registers host functions with the C++ runtime's library and gives Perl a sub for each.
#include <dlfcn.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <regex>

#include "HostClient/PerlClient.h"

namespace VeltrixNS::HostClient {

namespace {

const char* const CppRuntimeLibrary = "VeltrixCppRuntimeNative.dll";

struct CppRuntimeExports {
    RegisterHostFunctionFn registerFunction = nullptr;
    ReleaseHostFunctionFn releaseFunction = nullptr;
};

// The library beside the bridge, loaded once for the process and never unloaded: it owns the functions. The
// bridge's in-memory transport loads the same file for Perl, so both reach one registry.
const CppRuntimeExports& CppRuntime(const std::filesystem::path& nativeDirectory) {
    static std::mutex mutex;
    static CppRuntimeExports exports;
    std::lock_guard guard(mutex);
    if (exports.registerFunction != nullptr) return exports;
    std::filesystem::path path = nativeDirectory / CppRuntimeLibrary;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        throw BridgeError("Cannot load the C++ runtime library " + path.string() + ": " + (why ? why : "unknown"));
    }
    auto registerFunction = reinterpret_cast<RegisterHostFunctionFn>(dlsym(library, "RegisterHostFunction"));
    auto releaseFunction = reinterpret_cast<ReleaseHostFunctionFn>(dlsym(library, "ReleaseHostFunction"));
    if (registerFunction == nullptr || releaseFunction == nullptr) {
        dlclose(library);
        throw BridgeError("The C++ runtime library " + path.string() + " does not export RegisterHostFunction and " +
                          "ReleaseHostFunction");
    }
    exports = {registerFunction, releaseFunction};
    return exports;
}

class CallableFunction final : public HostFunction {
public:
    explicit CallableFunction(HostCallable function) : function_(std::move(function)) {}
    Value Call(const List& args) override { return function_(args); }

private:
    HostCallable function_;
};

// The one interpreter of the process loads the module once.
std::atomic<bool> hostModuleLoaded{false};

}  // namespace

std::string PerlClient::QualifiedSubName(const std::string& name) {
    static const std::regex subName("(::)?[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_0-9]+)*");
    if (!std::regex_match(name, subName)) throw std::invalid_argument("'" + name + "' is not a Perl sub name");
    return InMainUnlessQualified(name);
}

Handle PerlClient::DefineFunction(const std::string& name, HostCallable function) {
    if (session_->receiver() == nullptr) {
        throw BridgeError("Host functions need Perl in this process: a client of a veltrix-server cannot define them");
    }
    const CppRuntimeExports& cpp = CppRuntime(session_->nativeDirectory());
    // The library owns the function from here on, also when it cannot register it.
    uint64_t id = cpp.registerFunction(name.empty() ? nullptr : name.c_str(),
                                       std::make_unique<CallableFunction>(std::move(function)).release());
    if (id == 0)
        throw BridgeError("The C++ runtime library could not register " + (name.empty() ? "a callback" : name));
    try {
        auto lock = Lock();
        if (!hostModuleLoaded.load(std::memory_order_acquire)) {
            LoadLibrary("Veltrix::Host");
            hostModuleLoaded.store(true, std::memory_order_release);
        }
        Value code = name.empty() ? CallFunction("Veltrix::Host::callback", {static_cast<int64_t>(id)})
                                  : CallFunction("Veltrix::Host::define", {name, static_cast<int64_t>(id)});
        return std::move(code).asHandle();
    } catch (...) {
        // Nothing in Perl refers to it (a sub made before the failure released it already).
        cpp.releaseFunction(id);
        throw;
    }
}

}  // namespace VeltrixNS::HostClient
