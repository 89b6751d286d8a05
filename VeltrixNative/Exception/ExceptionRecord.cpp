// ExceptionRecord.cpp: what a constructed exception records about the failure.
#include "VeltrixNativeException.h"

void VeltrixNativeException::Record(const std::string& /*message*/, const std::string& /*callingRuntimeName*/) {
    // The console echo, the daily error log and the telemetry event are added with the
    // configuration facade.
}
