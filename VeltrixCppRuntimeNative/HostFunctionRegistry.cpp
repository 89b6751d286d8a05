// HostFunctionRegistry.cpp: registering, finding and releasing host functions.
#include "HostFunctionRegistry.h"

#include <vector>

namespace VeltrixNS::Runtimes::Cpp::Native {

std::string RegisteredFunction::DisplayName() const {
    return name.empty() ? "C++ callback " + std::to_string(id) : name;
}

HostFunctionRegistry& HostFunctionRegistry::Instance() {
    static ProcessLifetime<HostFunctionRegistry> registry;
    return registry.value;
}

uint64_t HostFunctionRegistry::Register(const char* name, HostClient::HostFunction* function) noexcept {
    if (function == nullptr) return 0;
    try {
        std::shared_ptr<HostClient::HostFunction> owned(function);
        std::lock_guard guard(mutex_);
        uint64_t id = nextId_;
        auto entry = std::make_shared<const RegisteredFunction>(RegisteredFunction{id, name ? name : "", owned});
        byId_.emplace(id, entry);
        if (name != nullptr) byName_[name] = id;
        ++nextId_;
        return id;
    } catch (...) {
        // Out of memory: the shared_ptr constructor has deleted the function if it could not take it.
        return 0;
    }
}

std::shared_ptr<const RegisteredFunction> HostFunctionRegistry::Find(uint64_t id) const {
    std::lock_guard guard(mutex_);
    auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : found->second;
}

std::shared_ptr<const RegisteredFunction> HostFunctionRegistry::Find(const std::string& name) const {
    std::lock_guard guard(mutex_);
    auto named = byName_.find(name);
    if (named == byName_.end()) return nullptr;
    auto found = byId_.find(named->second);
    return found == byId_.end() ? nullptr : found->second;
}

bool HostFunctionRegistry::Release(std::span<const uint64_t> ids, uint64_t& unknown) {
    std::vector<std::shared_ptr<const RegisteredFunction>> released;
    {
        std::lock_guard guard(mutex_);
        for (uint64_t id : ids) {
            if (!byId_.contains(id)) {
                unknown = id;
                return false;
            }
        }
        for (uint64_t id : ids) {
            auto found = byId_.find(id);
            if (found == byId_.end()) continue;  // named twice
            const RegisteredFunction& entry = *found->second;
            if (auto named = byName_.find(entry.name); named != byName_.end() && named->second == id) {
                byName_.erase(named);
            }
            released.push_back(std::move(found->second));
            byId_.erase(found);
        }
    }
    return true;  // `released` goes here, after the lock
}

}  // namespace VeltrixNS::Runtimes::Cpp::Native
