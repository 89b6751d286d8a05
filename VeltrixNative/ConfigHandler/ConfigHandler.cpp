// ConfigHandler.cpp: every configuration query goes to an export of Utils.dll, resolved by name on each call.
#include "ConfigHandler.h"

#include <cctype>
#include <exception>

#include "Exception/Raise.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Platform/SharedLibrary.h"

namespace VeltrixNS::Native::ConfigHandler {

using Definitions::LoggingLevel;

std::atomic<HINSTANCE> ConfigHandler::utilsLibraryInstance{nullptr};

std::recursive_mutex& utilsLibraryLoadLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

using IntOfText = int (*)(const char*);
using Text = std::string (*)();
using TextOfTwoTexts = std::string (*)(const char*, const char*);
using IntOfTwoTexts = int (*)(const char*, const char*);
using Int = int (*)();
using Truth = bool (*)();

template <typename Fn>
Fn lookup(HINSTANCE library, const char* name) {
    Fn function = Platform::GetExport<Fn>(library, name);
    if (function == nullptr) Exception::Raise(std::string(name) + " function not found in Utils library");
    return function;
}

// The four operations whose failures reach the caller: a caught failure is raised anew with its text.
template <typename Fn, typename... Args>
auto callRaising(HINSTANCE library, const char* name, Args... args) {
    try {
        return lookup<Fn>(library, name)(args...);
    } catch (const std::exception& e) {
        Exception::Raise(e.what());
    }
}

// The remaining queries: a caught failure becomes the operation's default.
template <typename Fn, typename Result, typename... Args>
Result callDefaulting(HINSTANCE library, const char* name, Result fallback, Args... args) {
    try {
        return lookup<Fn>(library, name)(args...);
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

void ConfigHandler::initializeUtilsLibrary() {
    if (utilsLibraryInstance.load(std::memory_order_acquire) != nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(utilsLibraryLoadLock());
    if (utilsLibraryInstance.load(std::memory_order_relaxed) == nullptr) {
        utilsLibraryInstance.store(LibrariesFinder::LibrariesFinder::loadUtilsLibrary(true), std::memory_order_release);
    }
}

LoggingLevel ConfigHandler::mapLoggingLevel(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "runtimeinfo") return LoggingLevel::RUNTIMEINFO;
    if (text == "all") return LoggingLevel::ALL;
    return LoggingLevel::OFF;
}

int ConfigHandler::SetConfigSource(const std::string& configSource) {
    initializeUtilsLibrary();
    return callRaising<IntOfText>(utilsLibraryInstance.load(), "SetConfigSource", configSource.c_str());
}

std::string ConfigHandler::GetConfigSource() {
    initializeUtilsLibrary();
    return callRaising<Text>(utilsLibraryInstance.load(), "GetConfigSource");
}

std::string ConfigHandler::GetWorkingDirectory() {
    initializeUtilsLibrary();
    return callRaising<Text>(utilsLibraryInstance.load(), "GetWorkingDirectory");
}

int ConfigHandler::SetWorkingDirectory(const std::string& path) {
    initializeUtilsLibrary();
    return callRaising<IntOfText>(utilsLibraryInstance.load(), "SetWorkingDirectory", path.c_str());
}

LoggingLevel ConfigHandler::GetLoggingLevel() {
    initializeUtilsLibrary();
    try {
        return mapLoggingLevel(lookup<Text>(utilsLibraryInstance.load(), "GetLoggingLevel")());
    } catch (const std::exception&) {
        return LoggingLevel::OFF;
    }
}

std::string ConfigHandler::GetRuntimeName(const std::string& runtimeName, const std::string& configName) {
    initializeUtilsLibrary();
    return callDefaulting<TextOfTwoTexts>(utilsLibraryInstance.load(), "GetRuntimeName", std::string(),
                                          runtimeName.c_str(), configName.c_str());
}

std::string ConfigHandler::GetChannelType(const std::string& runtimeName, const std::string& configName) {
    initializeUtilsLibrary();
    return callDefaulting<TextOfTwoTexts>(utilsLibraryInstance.load(), "GetChannelType", std::string(),
                                          runtimeName.c_str(), configName.c_str());
}

std::string ConfigHandler::GetChannelHost(const std::string& runtimeName, const std::string& configName) {
    initializeUtilsLibrary();
    return callDefaulting<TextOfTwoTexts>(utilsLibraryInstance.load(), "GetChannelHost", std::string(),
                                          runtimeName.c_str(), configName.c_str());
}

int ConfigHandler::GetChannelPort(const std::string& runtimeName, const std::string& configName) {
    initializeUtilsLibrary();
    return callDefaulting<IntOfTwoTexts>(utilsLibraryInstance.load(), "GetChannelPort", 0, runtimeName.c_str(),
                                         configName.c_str());
}

std::string ConfigHandler::GetChannelRuntimePath(const std::string& runtimeName, const std::string& configName) {
    initializeUtilsLibrary();
    return callDefaulting<TextOfTwoTexts>(utilsLibraryInstance.load(), "GetChannelRuntimePath", std::string(),
                                          runtimeName.c_str(), configName.c_str());
}

bool ConfigHandler::ProxyExists() {
    initializeUtilsLibrary();
    return callDefaulting<Truth>(utilsLibraryInstance.load(), "ProxyExists", false);
}

std::string ConfigHandler::GetProxyHost() {
    initializeUtilsLibrary();
    return callDefaulting<Text>(utilsLibraryInstance.load(), "GetProxyHost", std::string());
}

int ConfigHandler::GetProxyPort() {
    initializeUtilsLibrary();
    return callDefaulting<Int>(utilsLibraryInstance.load(), "GetProxyPort", 0);
}

std::string ConfigHandler::GetProxyUsername() {
    initializeUtilsLibrary();
    return callDefaulting<Text>(utilsLibraryInstance.load(), "GetProxyUsername", std::string());
}

std::string ConfigHandler::GetProxyPassword() {
    initializeUtilsLibrary();
    return callDefaulting<Text>(utilsLibraryInstance.load(), "GetProxyPassword", std::string());
}

std::string ConfigHandler::GetProxyDomain() {
    initializeUtilsLibrary();
    return callDefaulting<Text>(utilsLibraryInstance.load(), "GetProxyDomain", std::string());
}

}  // namespace VeltrixNS::Native::ConfigHandler
