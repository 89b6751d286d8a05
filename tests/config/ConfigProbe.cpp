// ConfigProbe.cpp: test-only library built on the core; placed in a product tree it reaches Utils.dll
// beside itself exactly as the bridge does, and exposes the hidden facade, telemetry logger and exception.
#include <functional>
#include <map>
#include <string>

#include "AppInsightLogger/AppInsightLogger.h"
#include "ConfigHandler/ConfigHandler.h"
#include "Exception/VeltrixNativeException.h"
#include "_common.h"

using VeltrixNS::Native::AppInsightLogger::AppInsightLogger;
using VeltrixNS::Native::ConfigHandler::ConfigHandler;

namespace {

using Operation = std::function<std::string(const std::string&, const std::string&)>;

const std::map<std::string, Operation>& operations() {
    static const std::map<std::string, Operation> table = {
        {"SetConfigSource", [](auto& a, auto&) { return std::to_string(ConfigHandler::SetConfigSource(a)); }},
        {"GetConfigSource", [](auto&, auto&) { return ConfigHandler::GetConfigSource(); }},
        {"GetWorkingDirectory", [](auto&, auto&) { return ConfigHandler::GetWorkingDirectory(); }},
        {"SetWorkingDirectory", [](auto& a, auto&) { return std::to_string(ConfigHandler::SetWorkingDirectory(a)); }},
        {"GetLoggingLevel",
         [](auto&, auto&) { return std::to_string(static_cast<int>(ConfigHandler::GetLoggingLevel())); }},
        {"GetRuntimeName", [](auto& a, auto& b) { return ConfigHandler::GetRuntimeName(a, b); }},
        {"GetChannelType", [](auto& a, auto& b) { return ConfigHandler::GetChannelType(a, b); }},
        {"GetChannelHost", [](auto& a, auto& b) { return ConfigHandler::GetChannelHost(a, b); }},
        {"GetChannelPort", [](auto& a, auto& b) { return std::to_string(ConfigHandler::GetChannelPort(a, b)); }},
        {"GetChannelRuntimePath", [](auto& a, auto& b) { return ConfigHandler::GetChannelRuntimePath(a, b); }},
        {"ProxyExists", [](auto&, auto&) { return std::string(ConfigHandler::ProxyExists() ? "true" : "false"); }},
        {"GetProxyHost", [](auto&, auto&) { return ConfigHandler::GetProxyHost(); }},
        {"GetProxyPort", [](auto&, auto&) { return std::to_string(ConfigHandler::GetProxyPort()); }},
        {"GetProxyUsername", [](auto&, auto&) { return ConfigHandler::GetProxyUsername(); }},
        {"GetProxyPassword", [](auto&, auto&) { return ConfigHandler::GetProxyPassword(); }},
        {"GetProxyDomain", [](auto&, auto&) { return ConfigHandler::GetProxyDomain(); }},
    };
    return table;
}

}  // namespace

// Calls one facade operation. 0: returned (result holds the value as text); 1: raised
// VeltrixNativeException (result holds what()); 2: raised another exception; 3: unknown operation.
VELTRIX_EXPORT int ProbeCall(const char* operation, const char* first, const char* second, std::string* result) {
    auto found = operations().find(operation);
    if (found == operations().end()) return 3;
    try {
        *result = found->second(first, second);
        return 0;
    } catch (const VeltrixNativeException& e) {
        *result = e.what();
        return 1;
    } catch (const std::exception& e) {
        *result = e.what();
        return 2;
    }
}

// Raises one exception and catches it: 1 and its what() when the exception thrown is the one raised.
VELTRIX_EXPORT int ProbeRaise(const char* message, const char* callingRuntimeName, std::string* what) {
    try {
        throw VeltrixNativeException(message, callingRuntimeName);
    } catch (const VeltrixNativeException& e) {
        *what = e.what();
        return 1;
    } catch (const std::exception& e) {
        *what = e.what();
        return 2;
    }
}

// Raises one exception, copies it twice (once by a by-value catch) and returns the last copy's what().
VELTRIX_EXPORT int ProbeCopy(const char* message, std::string* what) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcatch-value"
    // By value on purpose: the copy made by the catch must record nothing.
    try {
        throw VeltrixNativeException(message, "Unknown");
    } catch (VeltrixNativeException caught) {
        VeltrixNativeException copy(caught);
        *what = copy.what();
        return 1;
    }
#pragma GCC diagnostic pop
}

VELTRIX_EXPORT int ProbeLogMessage(const char* operationName, const char* eventMessage, const char* runtimeName) {
    return AppInsightLogger::LogMessage(operationName, eventMessage, runtimeName);
}

VELTRIX_EXPORT int ProbeGetLoggingLevel() {
    return static_cast<int>(ConfigHandler::GetLoggingLevel());
}
