// SharedLibrary.h: opening a sibling library and resolving its exports by name, through one replaceable loader.
#pragma once
#include <string>

#include "Platform/WinApi.h"

namespace VeltrixNS::Native::Platform {

// Why a library could not be opened: the loader's code (Windows numbering) and the system's text for it.
struct LoadFailure {
    DWORD code = ERROR_SUCCESS;
    std::string text;
};

// What opens libraries and resolves their exports. The system loader serves the process; a test may put an
// in-process one in place while no other thread loads anything.
class LibraryLoader {
public:
    virtual ~LibraryLoader() = default;
    // The library at path (one more reference to it), or null with the reason in failure.
    virtual HINSTANCE Open(const std::string& path, LoadFailure& failure) = 0;
    // The address of an export, or null when the library does not export that name.
    virtual void* Find(HINSTANCE library, const char* name) = 0;
    // Gives back one reference taken by Open.
    virtual void Close(HINSTANCE library) = 0;

    static LibraryLoader& Current();
    // Puts loader in place (null: the system loader again) and returns the one it replaces.
    static LibraryLoader* Replace(LibraryLoader* loader);
};

// The export `name` of an open library as a function pointer of type F; null when it is not exported.
template <typename F>
F GetExport(HINSTANCE library, const char* name) {
    return reinterpret_cast<F>(LibraryLoader::Current().Find(library, name));
}

// One reference to an open library, given back on destruction unless kept for the life of the process.
class SharedLibrary {
public:
    SharedLibrary() = default;
    // Opens path; IsLoaded() tells whether that worked and Failure() why not.
    explicit SharedLibrary(const std::string& path);
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool IsLoaded() const { return handle_ != nullptr; }
    HINSTANCE Native() const { return handle_; }
    const LoadFailure& Failure() const { return failure_; }

    // The export `name` as F; null when it is not exported or nothing is loaded.
    template <typename F>
    F Get(const char* name) const {
        return handle_ == nullptr ? nullptr : reinterpret_cast<F>(loader_->Find(handle_, name));
    }

    // Leaves the library loaded for the rest of the process and hands over its handle.
    HINSTANCE Keep();

private:
    void Close();

    // The loader that opened the library serves it until it is closed.
    LibraryLoader* loader_ = nullptr;
    HINSTANCE handle_ = nullptr;
    LoadFailure failure_;
};

}  // namespace VeltrixNS::Native::Platform
