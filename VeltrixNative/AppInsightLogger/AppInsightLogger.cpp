// AppInsightLogger.cpp: lazy, thread-safe set-up of the telemetry export and forwarding of events.
#include "AppInsightLogger.h"

#include <mutex>

#include "ConfigHandler/ConfigHandler.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Platform/SharedLibrary.h"

namespace VeltrixNS::Native::AppInsightLogger {

std::atomic<HINSTANCE> AppInsightLogger::utilsLibraryInstance{nullptr};
std::atomic<Func1Pointer> AppInsightLogger::LogMessage_Fn{nullptr};

bool AppInsightLogger::initialize() {
    if (LogMessage_Fn.load(std::memory_order_acquire) != nullptr) return true;
    // Shared with the configuration facade: both fill the loader's Utils.dll handle cache.
    std::lock_guard<std::recursive_mutex> guard(ConfigHandler::utilsLibraryLoadLock());
    if (utilsLibraryInstance.load(std::memory_order_relaxed) == nullptr) {
        utilsLibraryInstance.store(LibrariesFinder::LibrariesFinder::loadUtilsLibrary(false),
                                   std::memory_order_relaxed);
    }
    HINSTANCE library = utilsLibraryInstance.load(std::memory_order_relaxed);
    if (library == nullptr) return true;
    if (LogMessage_Fn.load(std::memory_order_relaxed) == nullptr) {
        LogMessage_Fn.store(Platform::GetExport<Func1Pointer>(library, "LogMessage"), std::memory_order_release);
    }
    return true;
}

int AppInsightLogger::LogMessage(std::string operationName, std::string eventMessage, std::string callingRuntimeName) {
    initialize();
    Func1Pointer send = LogMessage_Fn.load(std::memory_order_acquire);
    if (send == nullptr) return 0;
    send(operationName, eventMessage, callingRuntimeName);
    return 0;
}

}  // namespace VeltrixNS::Native::AppInsightLogger
