// StandinUtils.cpp: a stand-in Utils.dll that logs every call and answers as the environment tells it.
//   STANDIN_UTILS_LOG      file that gets one line per call: the export's name, then its arguments, TAB-separated
//   STANDIN_UTILS_LEVEL    text returned by GetLoggingLevel (default "off")
//   STANDIN_UTILS_WORKDIR  text returned by GetWorkingDirectory (default: the current directory)
//   STANDIN_UTILS_RESULT   integer returned by the Set* exports and the port queries (default 0)
//   STANDIN_UTILS_THROW    comma-separated export names that throw std::runtime_error("<name> failed in stand-in")
// Built once per variant; STANDIN_WITHOUT_<export> leaves that export out.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string env(const char* name, const std::string& fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

void called(const std::string& name, std::initializer_list<std::string> args = {}) {
    std::string line = name;
    for (const auto& arg : args) line += "\t" + escaped(arg);
    std::string log = env("STANDIN_UTILS_LOG");
    if (!log.empty()) std::ofstream(log, std::ios::app) << line << "\n";
    std::string throwing = "," + env("STANDIN_UTILS_THROW") + ",";
    if (throwing.find("," + name + ",") != std::string::npos) throw std::runtime_error(name + " failed in stand-in");
}

int result() {
    return std::atoi(env("STANDIN_UTILS_RESULT", "0").c_str());
}

[[maybe_unused]] std::string currentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

}  // namespace

#ifndef STANDIN_WITHOUT_SetConfigSource
STANDIN_EXPORT int SetConfigSource(const char* source) {
    called("SetConfigSource", {source});
    return result();
}
#endif

STANDIN_EXPORT std::string GetConfigSource() {
    called("GetConfigSource");
    return "standin-source";
}

#ifndef STANDIN_WITHOUT_GetWorkingDirectory
STANDIN_EXPORT std::string GetWorkingDirectory() {
    called("GetWorkingDirectory");
    return env("STANDIN_UTILS_WORKDIR", currentDirectory());
}
#endif

STANDIN_EXPORT int SetWorkingDirectory(const char* path) {
    called("SetWorkingDirectory", {path});
    return result();
}

#ifndef STANDIN_WITHOUT_GetLoggingLevel
STANDIN_EXPORT std::string GetLoggingLevel() {
    called("GetLoggingLevel");
    return env("STANDIN_UTILS_LEVEL", "off");
}
#endif

#define STANDIN_TEXT_OF_TWO(name)                                                  \
    STANDIN_EXPORT std::string name(const char* runtimeName, const char* config) { \
        called(#name, {runtimeName, config});                                      \
        return std::string(#name "(") + runtimeName + "," + config + ")";          \
    }
STANDIN_TEXT_OF_TWO(GetRuntimeName)
STANDIN_TEXT_OF_TWO(GetChannelType)
STANDIN_TEXT_OF_TWO(GetChannelHost)
STANDIN_TEXT_OF_TWO(GetChannelRuntimePath)

#ifndef STANDIN_WITHOUT_GetChannelPort
STANDIN_EXPORT int GetChannelPort(const char* runtimeName, const char* config) {
    called("GetChannelPort", {runtimeName, config});
    return result();
}
#endif

STANDIN_EXPORT bool ProxyExists() {
    called("ProxyExists");
    return true;
}

#define STANDIN_TEXT(name)              \
    STANDIN_EXPORT std::string name() { \
        called(#name);                  \
        return #name "-value";          \
    }
STANDIN_TEXT(GetProxyHost)
STANDIN_TEXT(GetProxyUsername)
STANDIN_TEXT(GetProxyPassword)
STANDIN_TEXT(GetProxyDomain)

STANDIN_EXPORT int GetProxyPort() {
    called("GetProxyPort");
    return result();
}

#ifndef STANDIN_WITHOUT_LogMessage
STANDIN_EXPORT int LogMessage(std::string operationName, std::string eventMessage, std::string callingRuntimeName) {
    called("LogMessage", {operationName, eventMessage, callingRuntimeName});
    return 0;
}
#endif
