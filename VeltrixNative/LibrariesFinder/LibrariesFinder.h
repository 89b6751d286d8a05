// LibrariesFinder.h: where this library lies, and loading of its sibling libraries.
#pragma once
#include <cstdint>
#include <string>

#include "Platform/SharedLibrary.h"
#include "Platform/WinApi.h"

namespace VeltrixNS::Native::LibrariesFinder {

// Its address lies in this library's code, which is how the library finds its own file.
void emptyFunctionInNativeLib();

class LibrariesFinder {
public:
    LibrariesFinder() = delete;

    // This library's directory: forward slashes, trailing slash.
    static std::string getThisLibraryPath();
    static std::wstring getThisLibraryPathW();
    // The product root: this library's directory followed by "../../../../".
    static std::string getBinariesRootPath();
    static std::wstring getBinariesRootPathW();
    static std::string getCurrentWorkingDirectory();
    static std::wstring getCurrentWorkingDirectoryW();

    // The native library of a runtime, in this library's directory.
    static std::string getRuntimeLibraryPath(int32_t runtimeNumber);
    // Opens a library owned by the caller; on failure raises code 001 (throwException) or returns it unloaded.
    static Platform::SharedLibrary openLibrary(const std::string& libraryPath, bool throwException);
    // Loads a library for the rest of the process; on failure raises code 001 (throwException) or returns null.
    static HINSTANCE loadLibrary(std::string libraryPath, bool throwException, bool logException);
    static HINSTANCE loadLibrary(std::wstring libraryPath, bool throwException);
    // Loaders of the shared sibling libraries; each is loaded once and kept for the process.
    static HINSTANCE loadUtilsLibrary(bool throwException);
    static void loadLibCryptoLibrary(bool throwException);
    static void loadLibSslLibrary(bool throwException);
    static HINSTANCE loadVeltrixTcpClientLibrary(bool throwException);
    static HINSTANCE loadVeltrixTcpTlsClientLibrary(bool throwException);

    static std::string nativeDirectoryRelativePath;
    static std::string pathToDir;

private:
    static HINSTANCE utilsLibraryInstance;
    static HINSTANCE veltrixTcpClientLibraryInstance;
    static HINSTANCE veltrixTcpTlsClientLibraryInstance;
    static HINSTANCE libcrypto3LibraryInstance;
    static HINSTANCE libssl3LibraryInstance;
};

}  // namespace VeltrixNS::Native::LibrariesFinder
