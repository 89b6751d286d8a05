// FileLogger.cpp: the message log and text conversions.
#include "FileLogger.h"

#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "Platform/WinApi.h"

namespace VeltrixNS::Native::FileLogger {

void FileLogger::native_printToFile(std::string message) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    std::ostringstream date;
    date << std::put_time(&local, "%Y-%m-%d");
    std::ostringstream line;
    line << std::put_time(&local, "%Y-%m-%d %X") << '\t' << "Thread ID: " << std::this_thread::get_id() << '\t'
         << message;
    std::cout << line.str() << std::endl;
    std::ofstream file("_VeltrixMessages_" + date.str() + ".txt", std::ios::out | std::ios::app);
    file << line.str() << std::endl;
}

void FileLogger::native_printToFile(byte* byteArray, int32_t byteArrayLen) {
    std::string text;
    for (int32_t i = 0; i < byteArrayLen; ++i) {
        text += std::to_string(static_cast<unsigned>(byteArray[i]));
        text += '\t';
    }
    native_printToFile(text);
}

std::wstring FileLogger::stringToWString(std::string message) {
    int length = static_cast<int>(message.size()) + 1;  // the terminating NUL is converted too
    int needed = MultiByteToWideChar(CP_ACP, 0, message.c_str(), length, nullptr, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(needed > 0 ? needed : 1), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_ACP, 0, message.c_str(), length, buffer.data(), needed);
    return std::wstring(buffer.data());
}

std::string FileLogger::wstringToString(std::wstring message) {
    if (message.empty()) return {};
    int length = static_cast<int>(message.size());
    int needed = WideCharToMultiByte(CP_UTF8, 0, message.c_str(), length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) WideCharToMultiByte(CP_UTF8, 0, message.c_str(), length, result.data(), needed, nullptr, nullptr);
    return result;
}

}  // namespace VeltrixNS::Native::FileLogger
