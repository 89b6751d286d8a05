// SharedLibrary.cpp: the system loader behind SharedLibrary, and the slot that lets a test replace it.
#include "Platform/SharedLibrary.h"

#include <atomic>
#include <utility>

namespace VeltrixNS::Native::Platform {

namespace {

// The system's words for a loader failure, as UTF-8 (empty when it has none).
std::string systemText(DWORD code) {
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return "no description is available for this error";
    int needed = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) {
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), needed, nullptr, nullptr);
    }
    LocalFree(buffer);
    return text;
}

class SystemLoader final : public LibraryLoader {
public:
    HINSTANCE Open(const std::string& path, LoadFailure& failure) override {
        HINSTANCE handle = LoadLibraryA(path.c_str());
        if (handle == nullptr) {
            failure.code = GetLastError();
            failure.text = systemText(failure.code);
        }
        return handle;
    }
    void* Find(HINSTANCE library, const char* name) override { return GetProcAddress(library, name); }
    void Close(HINSTANCE library) override { FreeLibrary(library); }
};

constinit SystemLoader systemLoader;
std::atomic<LibraryLoader*> currentLoader{&systemLoader};

}  // namespace

LibraryLoader& LibraryLoader::Current() {
    return *currentLoader.load(std::memory_order_acquire);
}

LibraryLoader* LibraryLoader::Replace(LibraryLoader* loader) {
    return currentLoader.exchange(loader != nullptr ? loader : &systemLoader, std::memory_order_acq_rel);
}

SharedLibrary::SharedLibrary(const std::string& path) : loader_(&LibraryLoader::Current()) {
    handle_ = loader_->Open(path, failure_);
}

SharedLibrary::~SharedLibrary() {
    Close();
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : loader_(other.loader_), handle_(std::exchange(other.handle_, nullptr)), failure_(std::move(other.failure_)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        Close();
        loader_ = other.loader_;
        handle_ = std::exchange(other.handle_, nullptr);
        failure_ = std::move(other.failure_);
    }
    return *this;
}

HINSTANCE SharedLibrary::Keep() {
    return std::exchange(handle_, nullptr);
}

void SharedLibrary::Close() {
    if (handle_ != nullptr) loader_->Close(std::exchange(handle_, nullptr));
}

}  // namespace VeltrixNS::Native::Platform
