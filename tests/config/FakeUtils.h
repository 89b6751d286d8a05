// FakeUtils.h: Utils.dll as an in-process fake behind the loader seam: it logs every call and answers as its
// settings say; any export can be left out or made to throw.
#pragma once
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeLibraries.h"
#include "LibrariesFinder/LibrariesFinder.h"

namespace config_test {

using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

struct FakeUtilsState {
    std::string level = "off";
    std::string workDir;
    int result = 0;
    std::set<std::string> throwing;               // exports that throw "<name> failed in fake"
    std::vector<std::vector<std::string>> calls;  // export name, then its arguments
};
inline FakeUtilsState Utils;

inline void Called(std::vector<std::string> call) {
    Utils.calls.push_back(call);
    if (Utils.throwing.count(call[0]) != 0) throw std::runtime_error(call[0] + " failed in fake");
}
// The calls of one export, each as its arguments.
inline std::vector<std::vector<std::string>> CallsOf(const std::string& name) {
    std::vector<std::vector<std::string>> found;
    for (const auto& call : Utils.calls) {
        if (call[0] == name) found.emplace_back(call.begin() + 1, call.end());
    }
    return found;
}

inline std::string UtilsPath() {
    return Finder::pathToDir + "Utils.dll";
}
// The OpenSSL pair lies under the second path the loader tries: no such file is beside the program.
inline std::string OpenSslPath(const char* name) {
    return Finder::pathToDir + Finder::nativeDirectoryRelativePath + name;
}

using veltrix::test::AsExport;
using Text = std::string (*)();
using TextOfTwo = std::string (*)(const char*, const char*);
using IntOfText = int (*)(const char*);
using IntOfTwo = int (*)(const char*, const char*);
using Int = int (*)();

#define FAKE_TEXT_OF_TWO(name)                                                     \
    {                                                                              \
#name, AsExport(static_cast <TextOfTwo>([](const char* r, const char* c) { \
            Called({#name, r, c});                                                 \
            return std::string(#name "(") + r + "," + c + ")";                     \
        }))                                                                        \
    }
#define FAKE_TEXT(name, value)                                                                  \
    {                                                                                           \
#name, AsExport(static_cast <Text>([] { return Called({#name}), std::string(value); })) \
    }

inline veltrix::test::FakeLibraries::Exports FakeUtilsExports() {
    return {
        {"SetConfigSource", AsExport(static_cast<IntOfText>([](const char* s) {
             return Called({"SetConfigSource", s}), Utils.result;
         }))},
        {"SetWorkingDirectory", AsExport(static_cast<IntOfText>([](const char* s) {
             return Called({"SetWorkingDirectory", s}), Utils.result;
         }))},
        FAKE_TEXT(GetConfigSource, "fake-source"),
        FAKE_TEXT(GetWorkingDirectory, Utils.workDir),
        FAKE_TEXT(GetLoggingLevel, Utils.level),
        FAKE_TEXT_OF_TWO(GetRuntimeName),
        FAKE_TEXT_OF_TWO(GetChannelType),
        FAKE_TEXT_OF_TWO(GetChannelHost),
        FAKE_TEXT_OF_TWO(GetChannelRuntimePath),
        {"GetChannelPort", AsExport(static_cast<IntOfTwo>([](const char* r, const char* c) {
             return Called({"GetChannelPort", r, c}), Utils.result;
         }))},
        {"ProxyExists", AsExport(static_cast<bool (*)()>([] { return Called({"ProxyExists"}), true; }))},
        FAKE_TEXT(GetProxyHost, "GetProxyHost-value"),
        FAKE_TEXT(GetProxyUsername, "GetProxyUsername-value"),
        FAKE_TEXT(GetProxyPassword, "GetProxyPassword-value"),
        FAKE_TEXT(GetProxyDomain, "GetProxyDomain-value"),
        {"GetProxyPort", AsExport(static_cast<Int>([] { return Called({"GetProxyPort"}), Utils.result; }))},
        {"LogMessage", AsExport(static_cast<int (*)(std::string, std::string, std::string)>(
                           [](std::string op, std::string message, std::string runtime) {
                               return Called({"LogMessage", op, message, runtime}), 0;
                           }))},
    };
}

}  // namespace config_test
