// ConfigHandler.h: facade over the configuration kept by the utilities library Utils.dll.
#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include "Definitions/loggingLevel.h"
#include "Platform/WinApi.h"

namespace VeltrixNS::Native::ConfigHandler {

// Each operation loads Utils.dll on first use, looks its export up by name on every call and
// calls it; a load failure always propagates, other failures are handled per operation.
class ConfigHandler {
public:
    ConfigHandler() = delete;

    static int SetConfigSource(const std::string& configSource);
    static std::string GetConfigSource();
    static std::string GetWorkingDirectory();
    static int SetWorkingDirectory(const std::string& path);
    static Definitions::LoggingLevel GetLoggingLevel();
    static std::string GetRuntimeName(const std::string& runtimeName, const std::string& configName);
    static std::string GetChannelType(const std::string& runtimeName, const std::string& configName);
    static std::string GetChannelHost(const std::string& runtimeName, const std::string& configName);
    static int GetChannelPort(const std::string& runtimeName, const std::string& configName);
    static std::string GetChannelRuntimePath(const std::string& runtimeName, const std::string& configName);
    static bool ProxyExists();
    static std::string GetProxyHost();
    static int GetProxyPort();
    static std::string GetProxyUsername();
    static std::string GetProxyPassword();
    static std::string GetProxyDomain();

    static void initializeUtilsLibrary();

    // Maps the utilities library's level word; anything but off/runtimeinfo/all is OFF.
    static Definitions::LoggingLevel mapLoggingLevel(std::string text);

private:
    // Atomic so that concurrent first calls are not a data race; filled once, never reset.
    static std::atomic<HINSTANCE> utilsLibraryInstance;
};

// Serialises the first loads of Utils.dll by this facade and the telemetry logger, which share the
// loader's handle caches. Recursive: a failed load raises an exception whose record asks the
// facade again on the same thread.
std::recursive_mutex& utilsLibraryLoadLock();

}  // namespace VeltrixNS::Native::ConfigHandler
