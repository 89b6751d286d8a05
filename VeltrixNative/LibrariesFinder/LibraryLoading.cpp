// LibraryLoading.cpp: loading sibling libraries with one numbered failure, and the process-wide handle caches.
#include <sys/stat.h>

#include "Exception/VeltrixNativeException.h"
#include "FileLogger/FileLogger.h"
#include "LibrariesFinder.h"

namespace VeltrixNS::Native::LibrariesFinder {

HINSTANCE LibrariesFinder::utilsLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::veltrixTcpClientLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::veltrixTcpTlsClientLibraryInstance = nullptr;
HINSTANCE LibrariesFinder::libcrypto3LibraryInstance = nullptr;
HINSTANCE LibrariesFinder::libssl3LibraryInstance = nullptr;

namespace {

std::string systemText(DWORD code) {
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return "no description is available for this error";
    std::string text = FileLogger::FileLogger::wstringToString(std::wstring(buffer, length));
    LocalFree(buffer);
    return text;
}

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

HINSTANCE LibrariesFinder::loadLibrary(std::string libraryPath, bool throwException, bool /*logException*/) {
    HINSTANCE handle = LoadLibraryA(libraryPath.c_str());
    if (handle != nullptr) return handle;
    DWORD code = GetLastError();
    std::string message = "Veltrix Core Exception: Exception code 001. \n" + std::string("Cannot load: ") +
                          libraryPath + ". \nError: " + std::to_string(code) + " - " + systemText(code);
    if (throwException) throw VeltrixNativeException(message, "Unknown");
    return nullptr;
}

HINSTANCE LibrariesFinder::loadLibrary(std::wstring libraryPath, bool throwException) {
    HINSTANCE handle = LoadLibraryW(libraryPath.c_str());
    if (handle == nullptr && throwException) {
        DWORD code = GetLastError();
        throw VeltrixNativeException("Veltrix Core Exception: Exception code 001. \n" + std::string("Cannot load: ") +
                                         FileLogger::FileLogger::wstringToString(libraryPath) +
                                         "\nError: " + std::to_string(code),
                                     "Unknown");
    }
    return handle;
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
