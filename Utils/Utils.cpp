// Utils.cpp: the exports of Utils.dll: configuration queries and telemetry events, safe from any thread.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>

#include "ConfigStore.h"

#define UTILS_EXPORT extern "C" __attribute__((visibility("default")))

namespace VeltrixNS::Utils {
namespace {

std::shared_mutex storeLock;
Configuration current;
// Set when the configuration named by VELTRIX_CONFIG could not be read; every query reports it
// until a configuration source is set successfully.
std::optional<std::string> environmentError;
std::once_flag environmentRead;
std::mutex telemetryLock;

void applyEnvironment() {
    std::call_once(environmentRead, [] {
        const char* source = std::getenv("VELTRIX_CONFIG");
        if (source == nullptr || *source == '\0') return;
        std::unique_lock lock(storeLock);
        try {
            current = parseConfiguration(source);
        } catch (const std::exception& e) {
            environmentError = std::string(e.what()) + " (named by VELTRIX_CONFIG)";
        }
    });
}

// Runs a query on the configuration in force under a shared lock.
template <typename F>
auto query(F&& read) {
    applyEnvironment();
    std::shared_lock lock(storeLock);
    if (environmentError) throw ConfigError(*environmentError);
    return read(static_cast<const Configuration&>(current));
}

const ChannelSettings& channelOf(const Configuration& config, const char* runtimeName, const char* configName) {
    std::string runtime = runtimeName != nullptr ? runtimeName : "";
    std::string name = configName != nullptr ? configName : "";
    auto perRuntime = config.channels.find(lowerCase(runtime));
    if (perRuntime != config.channels.end()) {
        auto settings = perRuntime->second.find(name);
        if (settings != perRuntime->second.end()) return settings->second;
    }
    throw ConfigError("Utils: no configuration '" + name + "' for runtime '" + runtime + "'");
}

const ProxySettings& proxyOf(const Configuration& config) {
    if (!config.proxy) throw ConfigError("Utils: no proxy is configured");
    return *config.proxy;
}

void replaceAll(std::string& text, const std::string& secret) {
    if (secret.empty()) return;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8)) {
        text.replace(at, secret.size(), "********");
    }
}

// Without a configured working directory the error log goes to the user's state directory
// ($XDG_STATE_HOME/veltrix, else ~/.local/state/veltrix, made on first use), never to the current
// directory of whichever program loaded the bridge.
std::string defaultWorkingDirectory() {
    namespace fs = std::filesystem;
    fs::path directory;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/')
        directory = fs::path(state) / "veltrix";
    else if (home != nullptr && home[0] == '/')
        directory = fs::path(home) / ".local/state/veltrix";
    else
        throw ConfigError("Utils: no working directory is configured and HOME is not set");
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    return directory.string();
}

std::string utcTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

}  // namespace
}  // namespace VeltrixNS::Utils

using namespace VeltrixNS::Utils;

UTILS_EXPORT int SetConfigSource(const char* configSource) {
    applyEnvironment();
    // Parsed and checked in full before the lock: a bad source leaves the configuration in force untouched.
    Configuration next = parseConfiguration(configSource != nullptr ? configSource : "");
    std::unique_lock lock(storeLock);
    current = std::move(next);
    environmentError.reset();
    return 0;
}

UTILS_EXPORT std::string GetConfigSource() {
    return query([](const Configuration& c) { return c.source; });
}

UTILS_EXPORT int SetWorkingDirectory(const char* path) {
    applyEnvironment();
    std::string directory = path != nullptr ? path : "";
    requireDirectory(directory, "SetWorkingDirectory");
    std::unique_lock lock(storeLock);
    current.workingDirectory = directory;
    return 0;
}

UTILS_EXPORT std::string GetWorkingDirectory() {
    return query(
        [](const Configuration& c) { return c.workingDirectory ? *c.workingDirectory : defaultWorkingDirectory(); });
}

UTILS_EXPORT std::string GetLoggingLevel() {
    return query([](const Configuration& c) { return c.loggingLevel; });
}

UTILS_EXPORT std::string GetRuntimeName(const char* runtimeName, const char* configName) {
    return query([&](const Configuration& c) { return channelOf(c, runtimeName, configName).runtimeName; });
}

UTILS_EXPORT std::string GetChannelType(const char* runtimeName, const char* configName) {
    return query([&](const Configuration& c) { return channelOf(c, runtimeName, configName).type; });
}

UTILS_EXPORT std::string GetChannelHost(const char* runtimeName, const char* configName) {
    return query([&](const Configuration& c) { return channelOf(c, runtimeName, configName).host; });
}

UTILS_EXPORT int GetChannelPort(const char* runtimeName, const char* configName) {
    return query([&](const Configuration& c) { return channelOf(c, runtimeName, configName).port; });
}

UTILS_EXPORT std::string GetChannelRuntimePath(const char* runtimeName, const char* configName) {
    return query([&](const Configuration& c) { return channelOf(c, runtimeName, configName).runtimePath; });
}

UTILS_EXPORT bool ProxyExists() {
    return query([](const Configuration& c) { return c.proxy.has_value() && !c.proxy->host.empty(); });
}

UTILS_EXPORT std::string GetProxyHost() {
    return query([](const Configuration& c) { return proxyOf(c).host; });
}

UTILS_EXPORT int GetProxyPort() {
    return query([](const Configuration& c) { return proxyOf(c).port; });
}

UTILS_EXPORT std::string GetProxyUsername() {
    return query([](const Configuration& c) { return proxyOf(c).username; });
}

UTILS_EXPORT std::string GetProxyPassword() {
    return query([](const Configuration& c) { return proxyOf(c).password; });
}

UTILS_EXPORT std::string GetProxyDomain() {
    return query([](const Configuration& c) { return proxyOf(c).domain; });
}

// One JSON line per event in the configured telemetry file; 0 when written or dropped, -1 when
// the file could not be written. Never throws.
UTILS_EXPORT int LogMessage(std::string operationName, std::string eventMessage, std::string callingRuntimeName) {
    try {
        std::string file;
        std::string password;
        {
            applyEnvironment();
            std::shared_lock lock(storeLock);
            if (environmentError) return 0;
            file = current.telemetryFile;
            if (current.proxy) password = current.proxy->password;
        }
        if (file.empty()) return 0;
        for (std::string* text : {&operationName, &eventMessage, &callingRuntimeName}) replaceAll(*text, password);

        std::ostringstream thread;
        thread << std::this_thread::get_id();
        nlohmann::json event = {{"time", utcTimestamp()},
                                {"thread", thread.str()},
                                {"operation", operationName},
                                {"message", eventMessage},
                                {"runtime", callingRuntimeName}};
        std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

        std::lock_guard lock(telemetryLock);
        std::ofstream out(file, std::ios::out | std::ios::app | std::ios::binary);
        out << line;
        out.flush();
        return out ? 0 : -1;
    } catch (...) {
        return -1;
    }
}
