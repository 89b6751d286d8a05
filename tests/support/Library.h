// Library.h: a dlopen'ed shared object for tests, closed on destruction, with typed lookups.
#pragma once
#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace veltrix::test {

class Library {
public:
    explicit Library(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    void* handle() const { return handle_; }
    // The export `name` as a function pointer of type F; throws when it is missing.
    template <typename F>
    F get(const char* name) const {
        void* symbol = dlsym(handle_, name);
        if (symbol == nullptr) throw std::runtime_error(std::string("missing export ") + name);
        return reinterpret_cast<F>(symbol);
    }
    bool has(const char* name) const { return dlsym(handle_, name) != nullptr; }
    // Keeps the library loaded for the rest of the process (for objects that must outlive us).
    void leak() { handle_ = nullptr; }

private:
    void* handle_;
};

}  // namespace veltrix::test
