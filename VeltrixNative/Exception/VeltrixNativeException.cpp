// VeltrixNativeException.cpp: message keeping and copying of the library's exception.
#include "VeltrixNativeException.h"

namespace {
const char* const contactLine = "\nIf the error persists, contact Veltrix support on: support@veltrix.dev";
}

VeltrixNativeException::VeltrixNativeException(const std::string& message, std::string callingRuntimeName)
    : std::runtime_error(message), currentTimeString(""), fileName(""), contactSupportMessage(contactLine) {
    Record(message, callingRuntimeName);
}

VeltrixNativeException::VeltrixNativeException(const VeltrixNativeException& other)
    : std::runtime_error(other.what()), currentTimeString(""), fileName(""), contactSupportMessage(contactLine) {}

VeltrixNativeException::~VeltrixNativeException() = default;
