// The configuration facade, the telemetry logger and the record every raised exception makes, linked in with the
// core and reaching an in-process fake of Utils.dll (and of the OpenSSL pair) through the loader seam.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "AppInsightLogger/AppInsightLogger.h"
#include "ConfigHandler/ConfigHandler.h"
#include "ErrorText.h"
#include "Exception/VeltrixNativeException.h"
#include "FakeLibraries.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "TempProductTree.h"

using veltrix::test::AsExport;
using veltrix::test::errorOf;
using VeltrixNS::Native::AppInsightLogger::AppInsightLogger;
using C = VeltrixNS::Native::ConfigHandler::ConfigHandler;
using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using P = const char*;

namespace {

// The fake Utils.dll logs every call; a text export answers with its call ("GetChannelHost r c"), a number export
// with `result`, and an export named in `throwing` throws "<name> failed in fake".
struct FakeUtils {
    std::string level = "off", workDir;
    int result = 0;
    std::set<std::string> throwing;
    std::vector<Strings> calls;
} Utils;
std::mutex UtilsCalls;  // events may come from several threads at once

std::string Called(const Strings& call) {
    std::lock_guard guard(UtilsCalls);
    Utils.calls.push_back(call);
    if (Utils.throwing.count(call[0]) != 0) throw std::runtime_error(call[0] + " failed in fake");
    std::string text = call[0];
    for (size_t i = 1; i < call.size(); ++i) text += " " + call[i];
    return text;
}

struct Exports {
    static int SetConfigSource(P s) { return Called({"SetConfigSource", s}), Utils.result; }
    static int SetWorkingDirectory(P s) { return Called({"SetWorkingDirectory", s}), Utils.result; }
    static std::string GetConfigSource() { return Called({"GetConfigSource"}); }
    static std::string GetWorkingDirectory() { return Called({"GetWorkingDirectory"}), Utils.workDir; }
    static std::string GetLoggingLevel() { return Called({"GetLoggingLevel"}), Utils.level; }
    static std::string GetRuntimeName(P r, P c) { return Called({"GetRuntimeName", r, c}); }
    static std::string GetChannelType(P r, P c) { return Called({"GetChannelType", r, c}); }
    static std::string GetChannelHost(P r, P c) { return Called({"GetChannelHost", r, c}); }
    static std::string GetChannelRuntimePath(P r, P c) { return Called({"GetChannelRuntimePath", r, c}); }
    static int GetChannelPort(P r, P c) { return Called({"GetChannelPort", r, c}), Utils.result; }
    static bool ProxyExists() { return Called({"ProxyExists"}), true; }
    static std::string GetProxyHost() { return Called({"GetProxyHost"}); }
    static int GetProxyPort() { return Called({"GetProxyPort"}), Utils.result; }
    static std::string GetProxyUsername() { return Called({"GetProxyUsername"}); }
    static std::string GetProxyPassword() { return Called({"GetProxyPassword"}); }
    static std::string GetProxyDomain() { return Called({"GetProxyDomain"}); }
    static int LogMessage(std::string op, std::string message, std::string runtime) {
        return Called({"LogMessage", op, message, runtime}), 0;
    }
};

#define EXPORT(name) \
    { #name, AsExport(&Exports::name) }
veltrix::test::FakeLibraries::Exports UtilsExports() {
    return {EXPORT(SetConfigSource),     EXPORT(SetWorkingDirectory), EXPORT(GetConfigSource),
            EXPORT(GetWorkingDirectory), EXPORT(GetLoggingLevel),     EXPORT(GetRuntimeName),
            EXPORT(GetChannelType),      EXPORT(GetChannelHost),      EXPORT(GetChannelRuntimePath),
            EXPORT(GetChannelPort),      EXPORT(ProxyExists),         EXPORT(GetProxyHost),
            EXPORT(GetProxyPort),        EXPORT(GetProxyUsername),    EXPORT(GetProxyPassword),
            EXPORT(GetProxyDomain),      EXPORT(LogMessage)};
}

const std::string contactLine = "If the error persists, contact Veltrix support on: support@veltrix.dev";
const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tThread ID: )";

std::string ThreadId() {
    std::ostringstream text;
    text << std::this_thread::get_id();
    return text.str();
}
// The messages sent as telemetry.
Strings Sent() {
    Strings sent;
    for (const auto& call : Utils.calls) {
        if (call[0] == "LogMessage") sent.push_back(call[2]);
    }
    return sent;
}
// The exception's text, and what it echoed on standard error.
std::string RaiseEchoed(const std::string& message) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(errorOf([&] { throw VeltrixNativeException(message, "Unknown"); }), message);
    return testing::internal::GetCapturedStderr();
}

class Config : public ::testing::Test {
protected:
    static veltrix::test::FakeLibraries& Fakes() {
        static veltrix::test::FakeLibraries fakes;
        return fakes;
    }
    void SetUp() override {
        Utils = FakeUtils();
        Utils.workDir = workDir.string();
        fs::create_directories(workDir);
        for (const std::string& library : {crypto, ssl, utils}) Fakes().Add(library);
        Fakes().Add(utils, UtilsExports());
    }
    // The records of the error log files in the working directory.
    Strings Records() const {
        Strings records;
        for (const auto& entry : fs::directory_iterator(workDir)) {
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) {
                if (std::regex_search(line, std::regex("^" + stamp))) records.push_back(line);
            }
        }
        return records;
    }

    veltrix::test::TempProductTree tree;
    fs::path workDir = tree.root() / "work";
    // Utils.dll is looked for beside the program, the OpenSSL pair under the second path the loader tries.
    const std::string openSsl = Finder::pathToDir + Finder::nativeDirectoryRelativePath;
    const std::string crypto = openSsl + "libcrypto-3-x64.dll", ssl = openSsl + "libssl-3-x64.dll",
                      utils = Finder::pathToDir + "Utils.dll";
};

TEST_F(Config, EveryOperationPassesItsArgumentsAndReturnsTheResultUnchangedAndLevelWordsMapInAnyCase) {
    Utils.result = -7;
    EXPECT_EQ((Strings{C::GetConfigSource(), C::GetWorkingDirectory(), C::GetRuntimeName("r", "c"),
                       C::GetChannelType("r", "c"), C::GetChannelHost("r", "c"), C::GetChannelRuntimePath("r", "c"),
                       C::GetProxyHost(), C::GetProxyUsername(), C::GetProxyPassword(), C::GetProxyDomain()}),
              (Strings{"GetConfigSource", workDir.string(), "GetRuntimeName r c", "GetChannelType r c",
                       "GetChannelHost r c", "GetChannelRuntimePath r c", "GetProxyHost", "GetProxyUsername",
                       "GetProxyPassword", "GetProxyDomain"}));
    EXPECT_EQ((std::vector<int>{C::SetConfigSource("s"), C::SetWorkingDirectory("d"), C::GetChannelPort("r", "c"),
                                C::GetProxyPort(), C::ProxyExists(), static_cast<int>(C::GetLoggingLevel())}),
              (std::vector<int>{-7, -7, -7, -7, 1, 0}));
    EXPECT_EQ(AppInsightLogger::LogMessage("op name", "event\ttext", "Perl"), 0);
    for (const Strings& call : std::vector<Strings>{{"SetConfigSource", "s"},
                                                    {"SetWorkingDirectory", "d"},
                                                    {"GetChannelPort", "r", "c"},
                                                    {"LogMessage", "op name", "event\ttext", "Perl"}}) {
        EXPECT_EQ(std::count(Utils.calls.begin(), Utils.calls.end(), call), 1) << call[0];
    }
    EXPECT_EQ(Utils.calls.size(), 17U) << "one export call per operation";
    EXPECT_TRUE(Records().empty());
    // The level's words in any case; anything else is off.
    const std::pair<const char*, int> cases[] = {{"RUNTIMEINFO", 1}, {"RuntimeInfo", 1}, {"all", 2},
                                                 {"ALL", 2},         {"Off", 0},         {"", 0},
                                                 {" all", 0},        {"verbose", 0}};
    for (const auto& [word, level] : cases) {
        Utils.level = word;
        EXPECT_EQ(static_cast<int>(C::GetLoggingLevel()), level) << "'" << word << "'";
    }
}

// A query gets its default when its export is missing or throws; a setter raises (a missing export twice: the
// lookup's failure, caught and raised anew). Only constructed exceptions make records.
TEST_F(Config, QueriesFallBackToTheirDefaultAndSettersRaise) {
    Fakes().Add(utils, {{"GetChannelPort", nullptr}, {"SetConfigSource", nullptr}});
    Utils.throwing = {"GetChannelHost", "GetProxyPort", "ProxyExists", "SetWorkingDirectory"};
    EXPECT_EQ(C::GetChannelHost("r", "c") + std::to_string(C::GetChannelPort("r", "c") + C::GetProxyPort()) +
                  std::to_string(C::ProxyExists()),
              "00");
    EXPECT_EQ(errorOf([] { C::SetConfigSource("s"); }), "SetConfigSource function not found in Utils library");
    EXPECT_EQ(errorOf([] { C::SetWorkingDirectory("d"); }), "SetWorkingDirectory failed in fake");
    EXPECT_EQ(Sent(),
              (Strings{"GetChannelPort function not found in Utils library",
                       "SetConfigSource function not found in Utils library",
                       "SetConfigSource function not found in Utils library", "SetWorkingDirectory failed in fake"}));
    EXPECT_EQ(Records().size(), 4U);
}

// One dated file line per constructed exception (a copy records nothing), telemetry without line feeds, and above
// off a console line with the contact line, which the file never holds.
TEST_F(Config, TheRecordIsOneDatedFileLineTelemetryWithoutLineFeedsAndAboveOffAConsoleLine) {
    std::string message = "Veltrix Core Exception: Exception code 042. \nMessage too short";
    EXPECT_EQ(errorOf([&] { throw VeltrixNativeException(message, "Clr"); }), message);
    EXPECT_EQ(RaiseEchoed("second failure"), "") << "nothing on standard error at off";
    VeltrixNativeException original("copied failure", "Unknown");
    EXPECT_STREQ(VeltrixNativeException(original).what(), "copied failure");  // the copy records nothing
    ASSERT_EQ(std::distance(fs::directory_iterator(workDir), fs::directory_iterator()), 1);
    fs::path file = fs::directory_iterator(workDir)->path();
    EXPECT_TRUE(
        std::regex_match(file.filename().string(), std::regex(R"(_VeltrixNativeErrorLogger_\d{4}-\d\d-\d\d\.txt)")));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_match(content, std::regex("^" + stamp + ThreadId() +
                                                     "\tVeltrix Core Exception: Exception code 042\\. \nMessage too "
                                                     "short\n" +
                                                     stamp + ".*\tsecond failure\n" + stamp + ".*\tcopied failure\n$")))
        << content;
    EXPECT_EQ(content.substr(0, 10), file.stem().string().substr(26));
    EXPECT_EQ(Utils.calls[2], (Strings{"LogMessage", "Native exception",
                                       "Veltrix Core Exception: Exception code 042. Message too short", "Clr"}));
    Utils.level = "runtimeinfo";
    EXPECT_TRUE(
        std::regex_match(RaiseEchoed("code line. \ndetail"),
                         std::regex("^" + stamp + ThreadId() + "\tcode line. \ndetail\n" + contactLine + "\n$")));
    EXPECT_EQ(Records().size(), 4U);
    for (const auto& record : Records()) EXPECT_EQ(record.find("contact"), std::string::npos);
}

// While the facade itself fails, the record goes on with what it can still do; a nested failure is sent as
// telemetry only.
TEST_F(Config, ARecordGoesOnWithoutTheQueriesThatFail) {
    Utils.workDir = (workDir / "absent").string();
    EXPECT_EQ(RaiseEchoed("no file for this one"), "");
    Utils.workDir = workDir.string();
    for (const char* missing : {"GetLoggingLevel", "GetWorkingDirectory"}) {
        Fakes().Add(utils, {{missing, nullptr}});
        EXPECT_EQ(RaiseEchoed(std::string(missing) + " missing"), "");
        Fakes().Add(utils, UtilsExports());
    }
    Utils.throwing = {"GetWorkingDirectory"};
    EXPECT_EQ(RaiseEchoed("directory failing"), "");
    EXPECT_EQ(Records().size(), 1U);
    EXPECT_FALSE(fs::exists(workDir / "absent"));
    const std::string noDirectory = "GetWorkingDirectory function not found in Utils library";
    EXPECT_EQ(Sent(), (Strings{"no file for this one", "GetLoggingLevel function not found in Utils library",
                               "GetLoggingLevel missing", noDirectory, noDirectory, "GetWorkingDirectory missing",
                               "GetWorkingDirectory failed in fake", "directory failing"}));
}

class ConfigConcurrency : public Config {};

TEST_F(ConfigConcurrency, ThreadsSendingTheirFirstEventsAtOnceAreEachDeliveredOnce) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i] { AppInsightLogger::LogMessage("op", "event " + std::to_string(i), "Perl"); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(Sent().size(), 8U);
}

class ConfigInOwnProcess : public Config {
protected:
    static std::string CannotLoad(const std::string& path) {
        return "Veltrix Core Exception: Exception code 001. \nCannot load: " + path + ". \nError: 126 - " + path +
               ": cannot open shared object file: No such file or directory";
    }
};

// The libraries are loaded once per process: their absence shows only until they are found, in load order, and
// every call tries again. The exception's record goes on with what it can still do.
TEST_F(ConfigInOwnProcess, MissingLibrariesAreReportedInLoadOrderAndLoadedOnceThere) {
    for (const std::string& library : {crypto, ssl, utils}) Fakes().Remove(library);
    EXPECT_EQ(errorOf([] { C::GetLoggingLevel(); }), CannotLoad(crypto));
    std::string echoed = RaiseEchoed("original failure");  // the level is unknown: the console line is written
    EXPECT_TRUE(std::regex_match(echoed, std::regex("^" + stamp + ".*\toriginal failure\n" + contactLine + "\n$")));
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "lost", "Perl"), 0);
    Fakes().Add(crypto);
    EXPECT_EQ(errorOf([] { C::GetWorkingDirectory(); }), CannotLoad(ssl));
    Fakes().Add(ssl);
    EXPECT_EQ(errorOf([] { C::ProxyExists(); }), CannotLoad(utils));  // also for a defaulting query
    Fakes().Add(utils, UtilsExports());
    Fakes().Add(utils, {{"LogMessage", nullptr}});
    EXPECT_EQ(C::GetConfigSource(), "GetConfigSource");
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "dropped", "Perl"), 0);
    Fakes().Add(utils, UtilsExports());
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "kept", "Perl"), 0);
    EXPECT_EQ(Sent(), Strings{"kept"});
    EXPECT_TRUE(Records().empty());
    for (const std::string& library : {crypto, ssl, utils}) EXPECT_EQ(Fakes().References(library), 1);
}

// Telemetry loads Utils.dll even when the OpenSSL pair is missing (best effort); the facade does not.
TEST_F(ConfigInOwnProcess, WithoutOpenSslOnlyTelemetryReachesUtils) {
    Fakes().Remove(crypto);
    EXPECT_NE(RaiseEchoed("original failure").find("\toriginal failure\n"), std::string::npos);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Sent().back(), "original failure");
    for (const auto& call : Utils.calls) EXPECT_EQ(call[0], "LogMessage") << "no query reached Utils.dll";
}

}  // namespace
