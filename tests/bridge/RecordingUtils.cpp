// RecordingUtils.cpp: a stand-in Utils.dll for the bridge tests: it records every call it gets to a file
// and answers configuration queries from environment variables the test sets.
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#define UTILS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex recordMutex;

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// One record per line: the kind and three fields, each written as its length, ':' and its bytes.
void record(const std::string& kind, const std::string& a, const std::string& b, const std::string& c) {
    std::string path = env("FRONT_UTILS_EVENTS", "");
    if (path.empty()) return;
    std::lock_guard<std::mutex> guard(recordMutex);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    for (const std::string* field : {&kind, &a, &b, &c}) out << field->size() << ':' << *field;
    out << '\n';
}

int configResult(const std::string& kind, const char* argument) {
    std::string text = argument != nullptr ? argument : "";
    record(kind, text, "", "");
    if (env("FRONT_UTILS_THROW", "0") == "1") throw std::runtime_error("stand-in Utils refuses " + kind + ": " + text);
    return std::atoi(env("FRONT_UTILS_RESULT", "0").c_str());
}

}  // namespace

UTILS_EXPORT int SetConfigSource(const char* source) {
    return configResult("SetConfigSource", source);
}

UTILS_EXPORT int SetWorkingDirectory(const char* path) {
    return configResult("SetWorkingDirectory", path);
}

UTILS_EXPORT std::string GetConfigSource() {
    return env("FRONT_UTILS_SOURCE", "");
}

// A directory that does not exist by default, so that raised exceptions write no error log.
UTILS_EXPORT std::string GetWorkingDirectory() {
    return env("FRONT_UTILS_WORKDIR", "/nonexistent-front-workdir");
}

UTILS_EXPORT std::string GetLoggingLevel() {
    return env("FRONT_UTILS_LEVEL", "off");
}

UTILS_EXPORT int LogMessage(std::string operationName, std::string eventMessage, std::string callingRuntimeName) {
    record("LogMessage", operationName, eventMessage, callingRuntimeName);
    return 0;
}
