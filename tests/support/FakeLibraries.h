// FakeLibraries.h: an in-process loader for tests: each "library" is a table of exports registered under a
// path, so the code under test finds and calls other libraries without any file on disk.
#pragma once
#include <map>
#include <string>

#include "Platform/SharedLibrary.h"

namespace veltrix::test {

class FakeLibraries final : public VeltrixNS::Native::Platform::LibraryLoader {
public:
    using Exports = std::map<std::string, void*>;

    // Puts itself in place of the system loader until destroyed.
    FakeLibraries() : previous_(Replace(this)) {}
    ~FakeLibraries() override { Replace(previous_); }
    FakeLibraries(const FakeLibraries&) = delete;
    FakeLibraries& operator=(const FakeLibraries&) = delete;

    // Adds the library at path, or changes its exports; a null address leaves that export out.
    void Add(const std::string& path, const Exports& exports = {}) {
        Library& library = libraries_[path];
        library.present = true;
        for (const auto& [name, address] : exports) library.exports[name] = address;
    }
    // Later opens fail as for a missing file; handles already open keep working.
    void Remove(const std::string& path) { libraries_[path].present = false; }
    // References that Open handed out and Close has not given back.
    int References(const std::string& path) const {
        auto found = libraries_.find(path);
        return found == libraries_.end() ? 0 : found->second.references;
    }

    HINSTANCE Open(const std::string& path, VeltrixNS::Native::Platform::LoadFailure& failure) override {
        auto found = libraries_.find(path);
        if (found == libraries_.end() || !found->second.present) {
            failure = {ERROR_MOD_NOT_FOUND, path + ": cannot open shared object file: No such file or directory"};
            return nullptr;
        }
        ++found->second.references;
        return &found->second;
    }
    void* Find(HINSTANCE library, const char* name) override {
        const Exports& exports = static_cast<Library*>(library)->exports;
        auto found = exports.find(name);
        return found == exports.end() ? nullptr : found->second;
    }
    void Close(HINSTANCE library) override { --static_cast<Library*>(library)->references; }

private:
    struct Library {
        bool present = false;
        int references = 0;
        Exports exports;
    };
    std::map<std::string, Library> libraries_;  // nodes stay put: their addresses are the handles
    LibraryLoader* previous_;
};

// A function as an export's address.
template <typename F>
void* AsExport(F* function) {
    return reinterpret_cast<void*>(function);
}

}  // namespace veltrix::test
