// Library.cpp: dlopen wrapper for tests.
#include "Library.h"

namespace veltrix::test {

Library::Library(const std::string& path, int flags) : handle_(dlopen(path.c_str(), flags)) {
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error("cannot load " + path + ": " + (reason != nullptr ? reason : "?"));
    }
}

Library::~Library() {
    if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace veltrix::test
