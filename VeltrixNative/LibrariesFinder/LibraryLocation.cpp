// LibraryLocation.cpp: this library's own directory and the paths derived from it.
#include <filesystem>

#include "Exception/Raise.h"
#include "LibrariesFinder.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"

namespace VeltrixNS::Native::LibrariesFinder {

void emptyFunctionInNativeLib() {}

namespace {

template <typename Char>
std::basic_string<Char> directoryOf(std::basic_string<Char> name) {
    auto cut = name.find_last_of(std::basic_string<Char>{Char('\\'), Char('/')});
    if (cut != std::basic_string<Char>::npos) name.resize(cut);
    for (auto& c : name) {
        if (c == Char('\\')) c = Char('/');
    }
    name += Char('/');
    return name;
}

// The narrow code lines carry no point after the number; the wide ones do.
[[noreturn]] void raise(const char* code, std::string_view end) {
    Exception::RaiseCore(code, "Error: " + std::to_string(GetLastError()), end);
}

}  // namespace

std::string LibrariesFinder::getThisLibraryPath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&emptyFunctionInNativeLib), &module)) {
        raise("002", Exception::BlankBreak);
    }
    char buffer[1024];
    DWORD length = GetModuleFileNameA(module, buffer, sizeof buffer);
    if (length == 0) raise("003", Exception::BlankBreak);
    return directoryOf(std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1));
}

std::wstring LibrariesFinder::getThisLibraryPathW() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&emptyFunctionInNativeLib), &module)) {
        raise("002", Exception::PointBreak);
    }
    std::wstring buffer(8192, L'\0');
    DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) raise("003", Exception::PointBreak);
    buffer.resize(length < buffer.size() ? length : buffer.size() - 1);
    return directoryOf(buffer);
}

std::string LibrariesFinder::getBinariesRootPath() {
    return getThisLibraryPath() + "../../../../";
}

std::wstring LibrariesFinder::getBinariesRootPathW() {
    return getThisLibraryPathW() + L"../../../../";
}

std::string LibrariesFinder::getCurrentWorkingDirectory() {
    return std::filesystem::current_path().string();
}

std::wstring LibrariesFinder::getCurrentWorkingDirectoryW() {
    return std::filesystem::current_path().wstring();
}

std::string LibrariesFinder::getRuntimeLibraryPath(int32_t runtimeNumber) {
    return getThisLibraryPath() + RuntimeNameHandler::RuntimeNameHandler::getRuntimeLibraryName(runtimeNumber);
}

// Set in this order when the library is loaded.
std::string LibrariesFinder::nativeDirectoryRelativePath =
    "/Binaries/Native/" + std::string("Windows") + "/" + "X64" + "/";
std::string LibrariesFinder::pathToDir = LibrariesFinder::getThisLibraryPath();

}  // namespace VeltrixNS::Native::LibrariesFinder
