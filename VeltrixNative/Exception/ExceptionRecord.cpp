// ExceptionRecord.cpp: what a constructed exception records about the failure: console echo, daily error log,
// telemetry.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <optional>
#include <thread>

#include "AppInsightLogger/AppInsightLogger.h"
#include "ConfigHandler/ConfigHandler.h"
#include "Platform/WinApi.h"
#include "VeltrixNativeException.h"

namespace {

using VeltrixNS::Native::AppInsightLogger::AppInsightLogger;
using VeltrixNS::Native::ConfigHandler::ConfigHandler;
using VeltrixNS::Native::Definitions::LoggingLevel;

// Records in progress on this thread. Asking the facade for the level and the directory may raise
// (Utils.dll, an OpenSSL library or an export missing, GetWorkingDirectory failing); the exception
// raised then is constructed at depth 1, where the facade is not asked again, so the nesting ends
// there. The outer record catches that failure and goes on with what it can still do.
thread_local int recordDepth = 0;

class DepthGuard {
public:
    DepthGuard() { ++recordDepth; }
    ~DepthGuard() { --recordDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

}  // namespace

void VeltrixNativeException::Record(const std::string& message, const std::string& callingRuntimeName) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    currentDataStream << std::put_time(&local, "%Y-%m-%d");
    currentTimeStream << std::put_time(&local, "%Y-%m-%d %X");
    currentDataString = currentDataStream.str();
    currentTimeString = currentTimeStream.str();

    std::string messageWithoutNewline = message;
    messageWithoutNewline.erase(std::remove(messageWithoutNewline.begin(), messageWithoutNewline.end(), '\n'),
                                messageWithoutNewline.end());

    if (recordDepth > 0) {
        // Raised by the facade while an outer record was asking it: telemetry only.
        AppInsightLogger::LogMessage("Native exception", messageWithoutNewline, callingRuntimeName);
        return;
    }
    DepthGuard guard;

    bool echo = false;
    try {
        echo = ConfigHandler::GetLoggingLevel() != LoggingLevel::OFF;
    } catch (const std::exception&) {
        // The facade itself is failing: the console is the one record still possible.
        echo = true;
    }
    if (echo) {
        std::cerr << currentTimeString << '\t' << "Thread ID: " << std::this_thread::get_id() << '\t' << message
                  << contactSupportMessage << std::endl;
    }

    std::optional<std::string> workingDirectory;
    try {
        workingDirectory = ConfigHandler::GetWorkingDirectory();
    } catch (const std::exception&) {
        // No known directory: the file record is skipped, as for a directory that cannot be opened.
    }
    if (workingDirectory) {
        fileName = *workingDirectory + "/_VeltrixNativeErrorLogger_" + currentDataString + ".txt";
        loggingFile.open(fileName, std::ios::out | std::ios::app);
        if (loggingFile.good()) {
            loggingFile << currentTimeString << '\t' << "Thread ID: " << std::this_thread::get_id() << '\t' << message
                        << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            loggingFile.close();
        }
    }

    AppInsightLogger::LogMessage("Native exception", messageWithoutNewline, callingRuntimeName);
}
