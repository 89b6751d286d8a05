// FakeUtils.h: Utils.dll as an in-process fake behind the loader seam: it logs every call and answers as its
// settings say; any export can be left out or made to throw.
#pragma once
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeLibraries.h"
#include "LibrariesFinder/LibrariesFinder.h"

namespace config_test {

using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

struct FakeUtils {
    std::string level = "off";
    std::string workDir;
    int result = 0;
    std::set<std::string> throwing;               // exports that throw "<name> failed in fake"
    std::vector<std::vector<std::string>> calls;  // export name, then its arguments

    // The calls of one export, each as its arguments.
    std::vector<std::vector<std::string>> CallsOf(const std::string& name) const {
        std::vector<std::vector<std::string>> found;
        for (const auto& call : calls) {
            if (call[0] == name) found.emplace_back(call.begin() + 1, call.end());
        }
        return found;
    }
};
inline FakeUtils Utils;
inline std::mutex UtilsCalls;  // events may come from several threads at once

struct Exports {
    static void Called(std::vector<std::string> call) {
        std::lock_guard<std::mutex> guard(UtilsCalls);
        Utils.calls.push_back(call);
        if (Utils.throwing.count(call[0]) != 0) throw std::runtime_error(call[0] + " failed in fake");
    }
    static std::string Two(const char* name, const char* r, const char* c) {
        Called({name, r, c});
        return std::string(name) + "(" + r + "," + c + ")";
    }
    static int SetConfigSource(const char* s) { return Called({"SetConfigSource", s}), Utils.result; }
    static int SetWorkingDirectory(const char* s) { return Called({"SetWorkingDirectory", s}), Utils.result; }
    static std::string GetConfigSource() { return Called({"GetConfigSource"}), "fake-source"; }
    static std::string GetWorkingDirectory() { return Called({"GetWorkingDirectory"}), Utils.workDir; }
    static std::string GetLoggingLevel() { return Called({"GetLoggingLevel"}), Utils.level; }
    static std::string GetRuntimeName(const char* r, const char* c) { return Two("GetRuntimeName", r, c); }
    static std::string GetChannelType(const char* r, const char* c) { return Two("GetChannelType", r, c); }
    static std::string GetChannelHost(const char* r, const char* c) { return Two("GetChannelHost", r, c); }
    static std::string GetChannelRuntimePath(const char* r, const char* c) {
        return Two("GetChannelRuntimePath", r, c);
    }
    static int GetChannelPort(const char* r, const char* c) { return Called({"GetChannelPort", r, c}), Utils.result; }
    static bool ProxyExists() { return Called({"ProxyExists"}), true; }
    static std::string GetProxyHost() { return Called({"GetProxyHost"}), "host"; }
    static int GetProxyPort() { return Called({"GetProxyPort"}), Utils.result; }
    static std::string GetProxyUsername() { return Called({"GetProxyUsername"}), "user"; }
    static std::string GetProxyPassword() { return Called({"GetProxyPassword"}), "password"; }
    static std::string GetProxyDomain() { return Called({"GetProxyDomain"}), "domain"; }
    static int LogMessage(std::string op, std::string message, std::string runtime) {
        return Called({"LogMessage", op, message, runtime}), 0;
    }
};

#define FAKE_EXPORT(name) \
    { #name, veltrix::test::AsExport(&Exports::name) }
inline veltrix::test::FakeLibraries::Exports FakeUtilsExports() {
    return {FAKE_EXPORT(SetConfigSource),     FAKE_EXPORT(SetWorkingDirectory), FAKE_EXPORT(GetConfigSource),
            FAKE_EXPORT(GetWorkingDirectory), FAKE_EXPORT(GetLoggingLevel),     FAKE_EXPORT(GetRuntimeName),
            FAKE_EXPORT(GetChannelType),      FAKE_EXPORT(GetChannelHost),      FAKE_EXPORT(GetChannelRuntimePath),
            FAKE_EXPORT(GetChannelPort),      FAKE_EXPORT(ProxyExists),         FAKE_EXPORT(GetProxyHost),
            FAKE_EXPORT(GetProxyPort),        FAKE_EXPORT(GetProxyUsername),    FAKE_EXPORT(GetProxyPassword),
            FAKE_EXPORT(GetProxyDomain),      FAKE_EXPORT(LogMessage)};
}

inline std::string UtilsPath() {
    return Finder::pathToDir + "Utils.dll";
}
// The OpenSSL pair lies under the second path the loader tries: no such file is beside the program.
inline std::string OpenSslPath(const char* name) {
    return Finder::pathToDir + Finder::nativeDirectoryRelativePath + name;
}

}  // namespace config_test
