// HostFunctionRegistry.h: the host functions of the process, by id and by name, shared by the host (which
// registers them) and the receiver (which runs and releases them).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>

#include "HostClient/HostFunction.h"

namespace VeltrixNS::Runtimes::Cpp::Native {

struct RegisteredFunction {
    uint64_t id;
    std::string name;  // empty for a callback
    std::shared_ptr<HostClient::HostFunction> function;

    // How messages name it: its name, or "C++ callback <id>".
    std::string DisplayName() const;
};

// Thread-safe. A function found stays alive while the caller holds it, also when it is released meanwhile; a
// released function is deleted outside the registry's lock (its destructor may call Perl, which may come back here).
class HostFunctionRegistry {
public:
    static HostFunctionRegistry& Instance();

    // Takes ownership of `function`; its id, or 0 when it could not be stored (it is deleted then). A name goes to
    // the new function, also when an older one had it.
    uint64_t Register(const char* name, HostClient::HostFunction* function) noexcept;
    std::shared_ptr<const RegisteredFunction> Find(uint64_t id) const;
    std::shared_ptr<const RegisteredFunction> Find(const std::string& name) const;
    // Releases every id, or none when one of them is not registered: false then, with that id in `unknown`.
    bool Release(std::span<const uint64_t> ids, uint64_t& unknown);

private:
    mutable std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, std::shared_ptr<const RegisteredFunction>> byId_;
    std::unordered_map<std::string, uint64_t> byName_;
};

// Storage whose object is never destroyed: host functions and the receiver outlive every static destructor at exit,
// when the interpreter their destructors would call may be gone.
template <typename T>
union ProcessLifetime {
    ProcessLifetime() : value() {}
    ~ProcessLifetime() {}
    ProcessLifetime(const ProcessLifetime&) = delete;
    ProcessLifetime& operator=(const ProcessLifetime&) = delete;
    T value;
};

}  // namespace VeltrixNS::Runtimes::Cpp::Native
