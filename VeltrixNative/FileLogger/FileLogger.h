// FileLogger.h: the daily message log and the narrow/wide text conversions.
#pragma once
#include <string>

#include "_common.h"

namespace VeltrixNS::Native::FileLogger {

class FileLogger {
public:
    FileLogger() = delete;
    // One time-stamped line to standard output and to _VeltrixMessages_<date>.txt in the current directory.
    static void native_printToFile(std::string message);
    // Logs each byte's value in decimal followed by a TAB.
    static void native_printToFile(byte* byteArray, int32_t byteArrayLen);
    // System code page text to wide text, up to the first NUL.
    static std::wstring stringToWString(std::string message);
    // Wide text to UTF-8.
    static std::string wstringToString(std::wstring message);
};

}  // namespace VeltrixNS::Native::FileLogger
