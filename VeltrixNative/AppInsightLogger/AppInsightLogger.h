// AppInsightLogger.h: best-effort telemetry events, handed to the export "LogMessage" of Utils.dll.
#pragma once
#include <atomic>
#include <string>

#include "Platform/WinApi.h"

namespace VeltrixNS::Native::AppInsightLogger {

using Func1Pointer = int (*)(std::string, std::string, std::string);

class AppInsightLogger {
public:
    AppInsightLogger() = delete;

    // Sends one event; a missing library or export drops it. Returns 0 in every case.
    static int LogMessage(std::string operationName, std::string eventMessage, std::string callingRuntimeName);
    // Loads the library and resolves the export when not done yet; a failure is retried on the next event.
    static bool initialize();

private:
    // Atomic so that two threads sending their first events at once do not race; never reset.
    static std::atomic<HINSTANCE> utilsLibraryInstance;
    static std::atomic<Func1Pointer> LogMessage_Fn;
};

}  // namespace VeltrixNS::Native::AppInsightLogger
