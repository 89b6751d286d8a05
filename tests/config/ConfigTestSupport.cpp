// ConfigTestSupport.cpp: product trees for the configuration tests.
#include "ConfigTestSupport.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace veltrix::test {

ConfigTree::ConfigTree(const std::string& utilsLibrary, OpenSsl openSsl) {
    fs::create_directories(workDir());
    if (openSsl != OpenSsl::NoCrypto) {
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libcrypto.so.3", tree_.nativeDir() / "libcrypto-3-x64.dll");
    }
    if (openSsl != OpenSsl::NoSsl) {
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libssl.so.3", tree_.nativeDir() / "libssl-3-x64.dll");
    }
    placeUtils(utilsLibrary);
    tree_.addNativeLibrary(CONFIG_PROBE_LIBRARY, "ConfigProbe.dll");
    setenv("STANDIN_UTILS_LOG", standinLog().c_str(), 1);
    setenv("STANDIN_UTILS_WORKDIR", workDir().c_str(), 1);
    unsetenv("STANDIN_UTILS_LEVEL");
    unsetenv("STANDIN_UTILS_RESULT");
    unsetenv("STANDIN_UTILS_THROW");
}

void ConfigTree::placeUtils(const std::string& utilsLibrary) {
    if (!utilsLibrary.empty()) tree_.addNativeLibrary(utilsLibrary, "Utils.dll");
}

Library& ConfigTree::probe() {
    if (!probe_) probe_ = std::make_unique<Library>((tree_.nativeDir() / "ConfigProbe.dll").string());
    return *probe_;
}

ProbeResult ConfigTree::call(const std::string& operation, const std::string& first, const std::string& second) {
    ProbeResult result{};
    result.code = probe().get<int (*)(const char*, const char*, const char*, std::string*)>("ProbeCall")(
        operation.c_str(), first.c_str(), second.c_str(), &result.text);
    return result;
}

ProbeResult ConfigTree::raise(const std::string& message, const std::string& callingRuntimeName) {
    ProbeResult result{};
    result.code = probe().get<int (*)(const char*, const char*, std::string*)>("ProbeRaise")(
        message.c_str(), callingRuntimeName.c_str(), &result.text);
    return result;
}

ProbeResult ConfigTree::copy(const std::string& message) {
    ProbeResult result{};
    result.code = probe().get<int (*)(const char*, std::string*)>("ProbeCopy")(message.c_str(), &result.text);
    return result;
}

int ConfigTree::logMessage(const std::string& operation, const std::string& message, const std::string& runtime) {
    return probe().get<int (*)(const char*, const char*, const char*)>("ProbeLogMessage")(
        operation.c_str(), message.c_str(), runtime.c_str());
}

int ConfigTree::loggingLevel() {
    return probe().get<int (*)()>("ProbeGetLoggingLevel")();
}

std::vector<std::vector<std::string>> ConfigTree::standinCalls(const std::string& name) const {
    std::vector<std::vector<std::string>> calls;
    std::ifstream in(standinLog());
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (line.back() == '\t') fields.emplace_back();
        if (name.empty() || (!fields.empty() && fields[0] == name)) calls.push_back(fields);
    }
    return calls;
}

std::vector<std::string> ConfigTree::errorLogLines() const {
    std::vector<std::string> lines;
    for (const auto& entry : fs::directory_iterator(workDir())) {
        if (entry.path().filename().string().rfind("_VeltrixNativeErrorLogger_", 0) != 0) continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ConfigTree::errorLogRecords() const {
    std::vector<std::string> records;
    for (const auto& line : errorLogLines()) {
        if (isRecordStart(line)) records.push_back(line);
    }
    return records;
}

bool isRecordStart(const std::string& line) {
    static const std::regex start(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tThread ID: [^\t]+\t)");
    return std::regex_search(line, start);
}

std::string todayDate() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

std::string threadIdText() {
    std::ostringstream text;
    text << std::this_thread::get_id();
    return text.str();
}

}  // namespace veltrix::test
