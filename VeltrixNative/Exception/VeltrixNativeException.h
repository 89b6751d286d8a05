// VeltrixNativeException.h: the one exception type of the library; constructing it records the failure.
#pragma once
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "_common.h"

class VELTRIX_VISIBLE VeltrixNativeException : public std::runtime_error {
public:
    VeltrixNativeException(const std::string& message, std::string callingRuntimeName);
    // A copy keeps the message and records nothing.
    VeltrixNativeException(const VeltrixNativeException& other);
    VeltrixNativeException& operator=(const VeltrixNativeException&) = delete;
    ~VeltrixNativeException() override;

private:
    void Record(const std::string& message, const std::string& callingRuntimeName);

    std::ofstream loggingFile;
    std::stringstream currentDataStream;
    std::string currentDataString;
    std::stringstream currentTimeStream;
    std::string currentTimeString;
    std::string fileName;
    const std::string contactSupportMessage;
};
