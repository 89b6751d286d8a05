// LibraryLoading.cpp: loading sibling libraries with one numbered failure, and the process-wide handle caches.
#include <sys/stat.h>

#include "Exception/Raise.h"
#include "FileLogger/FileLogger.h"
#include "LibrariesFinder.h"

namespace VeltrixNS::Native::LibrariesFinder {

using Exception::RaiseCore;
using Platform::SharedLibrary;

HINSTANCE LibrariesFinder::utilsLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::veltrixTcpClientLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::veltrixTcpTlsClientLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::libcrypto3LibraryInstance = nullptr;
HINSTANCE LibrariesFinder::libssl3LibraryInstance = nullptr;

namespace {

// libcrypto and libssl: beside this library, or else below the native directory path.
void preload(HINSTANCE& cache, const char* fileName, bool throwException) {
    if (cache != nullptr) return;
    std::string candidate = LibrariesFinder::pathToDir + fileName;
    struct stat info {};
    if (stat(candidate.c_str(), &info) != 0) {
        candidate = LibrariesFinder::pathToDir + LibrariesFinder::nativeDirectoryRelativePath + fileName;
    }
    cache = LibrariesFinder::loadLibrary(candidate, throwException, true);
}

}  // namespace

SharedLibrary LibrariesFinder::openLibrary(const std::string& libraryPath, bool throwException) {
    SharedLibrary library(libraryPath);
    if (!library.IsLoaded() && throwException) {
        const Platform::LoadFailure& failure = library.Failure();
        RaiseCore("001",
                  "Cannot load: " + libraryPath + ". \nError: " + std::to_string(failure.code) + " - " + failure.text);
    }
    return library;
}

HINSTANCE LibrariesFinder::loadLibrary(std::string libraryPath, bool throwException, bool /*logException*/) {
    return openLibrary(libraryPath, throwException).Keep();
}

// Without the system's text: only the code follows the path.
HINSTANCE LibrariesFinder::loadLibrary(std::wstring libraryPath, bool throwException) {
    std::string path = FileLogger::FileLogger::wstringToString(libraryPath);
    SharedLibrary library(path);
    if (!library.IsLoaded() && throwException) {
        RaiseCore("001", "Cannot load: " + path + "\nError: " + std::to_string(library.Failure().code));
    }
    return library.Keep();
}

void LibrariesFinder::loadLibCryptoLibrary(bool throwException) {
    preload(libcrypto3LibraryInstance, "libcrypto-3-x64.dll", throwException);
}

void LibrariesFinder::loadLibSslLibrary(bool throwException) {
    preload(libssl3LibraryInstance, "libssl-3-x64.dll", throwException);
}

HINSTANCE LibrariesFinder::loadUtilsLibrary(bool throwException) {
    loadLibCryptoLibrary(throwException);
    loadLibSslLibrary(throwException);
    if (utilsLibraryInstance == nullptr) {
        utilsLibraryInstance = loadLibrary(pathToDir + "Utils.dll", throwException, false);
    }
    return utilsLibraryInstance;
}

HINSTANCE LibrariesFinder::loadVeltrixTcpClientLibrary(bool throwException) {
    loadLibCryptoLibrary(throwException);
    loadLibSslLibrary(throwException);
    if (veltrixTcpClientLibraryInstance == nullptr) {
        veltrixTcpClientLibraryInstance = loadLibrary(pathToDir + "VeltrixTcpClient.dll", throwException, true);
    }
    return veltrixTcpClientLibraryInstance;
}

HINSTANCE LibrariesFinder::loadVeltrixTcpTlsClientLibrary(bool throwException) {
    if (veltrixTcpTlsClientLibraryInstance == nullptr) {
        veltrixTcpTlsClientLibraryInstance = loadLibrary(pathToDir + "VeltrixTcpTlsClient.dll", throwException, true);
    }
    return veltrixTcpTlsClientLibraryInstance;
}

}  // namespace VeltrixNS::Native::LibrariesFinder
