// VeltrixNativeException.cpp: message keeping and copying of the library's exception, and the raise helpers.
#include "VeltrixNativeException.h"

#include "Raise.h"

namespace {
const char* const contactLine = "\nIf the error persists, contact Veltrix support on: support@veltrix.dev";
// Every site of this library raises on behalf of an unknown calling runtime.
const char* const unknownRuntime = "Unknown";
}  // namespace

VeltrixNativeException::VeltrixNativeException(const std::string& message, std::string callingRuntimeName)
    : std::runtime_error(message), currentTimeString(""), fileName(""), contactSupportMessage(contactLine) {
    Record(message, callingRuntimeName);
}

VeltrixNativeException::VeltrixNativeException(const VeltrixNativeException& other)
    : std::runtime_error(other.what()), currentTimeString(""), fileName(""), contactSupportMessage(contactLine) {}

VeltrixNativeException::~VeltrixNativeException() = default;

namespace VeltrixNS::Native::Exception {

void RaiseNumbered(std::string_view component, std::string_view code, std::string_view detail, std::string_view end) {
    std::string message;
    message.reserve(component.size() + code.size() + end.size() + detail.size() + 17);
    message.append(component).append(": Exception code ").append(code).append(end).append(detail);
    throw VeltrixNativeException(message, unknownRuntime);
}

void Raise(const std::string& message) {
    throw VeltrixNativeException(message, unknownRuntime);
}

}  // namespace VeltrixNS::Native::Exception
