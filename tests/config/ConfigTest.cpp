// The configuration facade, the telemetry logger and the record every raised exception makes, linked in
// with the core and reaching a fake Utils.dll (and OpenSSL pair) through the loader seam.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "AppInsightLogger/AppInsightLogger.h"
#include "ConfigHandler/ConfigHandler.h"
#include "ErrorText.h"
#include "Exception/Raise.h"
#include "Exception/VeltrixNativeException.h"
#include "FakeUtils.h"
#include "TempProductTree.h"

using namespace config_test;
using veltrix::test::errorOf;
using VeltrixNS::Native::AppInsightLogger::AppInsightLogger;
using VeltrixNS::Native::ConfigHandler::ConfigHandler;
using VeltrixNS::Native::Exception::Raise;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string contactLine = "If the error persists, contact Veltrix support on: support@veltrix.dev";
const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tThread ID: )";
const std::string crypto = "libcrypto-3-x64.dll", ssl = "libssl-3-x64.dll";

// Every operation of the facade, with its result as text.
std::string Call(const std::string& name) {
    using C = ConfigHandler;
    const std::map<std::string, std::function<std::string()>> operations = {
        {"SetConfigSource", [] { return std::to_string(C::SetConfigSource("s")); }},
        {"GetConfigSource", [] { return C::GetConfigSource(); }},
        {"GetWorkingDirectory", [] { return C::GetWorkingDirectory(); }},
        {"SetWorkingDirectory", [] { return std::to_string(C::SetWorkingDirectory("d")); }},
        {"GetLoggingLevel", [] { return std::to_string(static_cast<int>(C::GetLoggingLevel())); }},
        {"GetRuntimeName", [] { return C::GetRuntimeName("r", "c"); }},
        {"GetChannelType", [] { return C::GetChannelType("r", "c"); }},
        {"GetChannelHost", [] { return C::GetChannelHost("r", "c"); }},
        {"GetChannelPort", [] { return std::to_string(C::GetChannelPort("r", "c")); }},
        {"GetChannelRuntimePath", [] { return C::GetChannelRuntimePath("r", "c"); }},
        {"ProxyExists", [] { return std::string(C::ProxyExists() ? "true" : "false"); }},
        {"GetProxyHost", [] { return C::GetProxyHost(); }},
        {"GetProxyPort", [] { return std::to_string(C::GetProxyPort()); }},
        {"GetProxyUsername", [] { return C::GetProxyUsername(); }},
        {"GetProxyPassword", [] { return C::GetProxyPassword(); }},
        {"GetProxyDomain", [] { return C::GetProxyDomain(); }}};
    if (name.empty()) {  // all of them, in order
        std::string results;
        for (const auto& [operation, call] : operations) results += operation + "=" + call() + " ";
        return results;
    }
    return operations.at(name)();
}

std::string CannotLoad(const std::string& path) {
    return "Veltrix Core Exception: Exception code 001. \nCannot load: " + path + ". \nError: 126 - " + path +
           ": cannot open shared object file: No such file or directory";
}
std::string ThreadId() {
    std::ostringstream text;
    text << std::this_thread::get_id();
    return text.str();
}
Strings Sent() {
    Strings sent;
    for (const auto& call : Utils.CallsOf("LogMessage")) sent.push_back(call[1]);
    return sent;
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
        Fakes().Add(OpenSslPath(crypto.c_str()));
        Fakes().Add(OpenSslPath(ssl.c_str()));
        Fakes().Add(UtilsPath(), FakeUtilsExports());
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
    // Raises message and returns what it echoed on standard error.
    static std::string RaiseEchoed(const std::string& message) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(errorOf([&] { Raise(message); }), message);
        return testing::internal::GetCapturedStderr();
    }

    veltrix::test::TempProductTree tree;
    fs::path workDir = tree.root() / "work";
};

TEST_F(Config, EveryOperationPassesItsArgumentsInOrderAndReturnsTheResultUnchanged) {
    Utils.result = -7;
    EXPECT_EQ(Call(""),
              "GetChannelHost=GetChannelHost(r,c) GetChannelPort=-7 "
              "GetChannelRuntimePath=GetChannelRuntimePath(r,c) GetChannelType=GetChannelType(r,c) "
              "GetConfigSource=fake-source GetLoggingLevel=0 GetProxyDomain=domain GetProxyHost=host "
              "GetProxyPassword=password GetProxyPort=-7 GetProxyUsername=user GetRuntimeName=GetRuntimeName(r,c) "
              "GetWorkingDirectory=" +
                  workDir.string() +
                  " ProxyExists=true SetConfigSource=-7 "
                  "SetWorkingDirectory=-7 ");
    EXPECT_EQ(Utils.CallsOf("GetChannelHost"), (std::vector<Strings>{{"r", "c"}}));
    EXPECT_EQ(Utils.CallsOf("SetWorkingDirectory"), (std::vector<Strings>{{"d"}}));
    EXPECT_EQ(Utils.calls.size(), 16U);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(AppInsightLogger::LogMessage("op name", "event\ttext", "Perl"), 0);  // one event, one export call
    EXPECT_EQ(Utils.CallsOf("LogMessage"), (std::vector<Strings>{{"op name", "event\ttext", "Perl"}}));
}

TEST_F(Config, LoggingLevelWordsMapInAnyCaseAndAnythingElseIsOff) {
    const std::pair<const char*, int> cases[] = {
        {"RUNTIMEINFO", 1}, {"RuntimeInfo", 1}, {"runtimeinfo", 1}, {"ALL", 2}, {"all", 2}, {"Off", 0}, {"", 0},
        {" all", 0},        {"all ", 0},        {"verbose", 0},     {"2", 0}};
    for (const auto& [word, level] : cases) {
        Utils.level = word;
        EXPECT_EQ(static_cast<int>(ConfigHandler::GetLoggingLevel()), level) << "'" << word << "'";
    }
}

// A query gets its default when its export is missing or throws; a setter raises (a missing export twice:
// the lookup's failure, caught and raised anew). Only constructed exceptions make records.
TEST_F(Config, QueriesFallBackToTheirDefaultAndSettersRaise) {
    Fakes().Add(UtilsPath(), {{"GetChannelPort", nullptr}, {"SetConfigSource", nullptr}});
    Utils.throwing = {"GetChannelHost", "GetProxyPort", "ProxyExists", "SetWorkingDirectory"};
    EXPECT_EQ(Call("GetChannelPort") + Call("GetChannelHost") + Call("GetProxyPort") + Call("ProxyExists"), "00false");
    EXPECT_EQ(errorOf([] { Call("SetConfigSource"); }), "SetConfigSource function not found in Utils library");
    EXPECT_EQ(errorOf([] { Call("SetWorkingDirectory"); }), "SetWorkingDirectory failed in fake");
    EXPECT_EQ(Sent(),
              (Strings{"GetChannelPort function not found in Utils library",
                       "SetConfigSource function not found in Utils library",
                       "SetConfigSource function not found in Utils library", "SetWorkingDirectory failed in fake"}));
    EXPECT_EQ(Records().size(), 4U);
    EXPECT_NE(Records()[0].find("\tGetChannelPort function not found in Utils library"), std::string::npos);
}

TEST_F(Config, TheRecordIsOneDatedFileLineAndTelemetryWithoutLineFeeds) {
    std::string message = "Veltrix Core Exception: Exception code 042. \nMessage too short";
    EXPECT_EQ(errorOf([&] { throw VeltrixNativeException(message, "Clr"); }), message);
    EXPECT_EQ(RaiseEchoed("second failure"), "");  // nothing on standard error at off
    ASSERT_EQ(std::distance(fs::directory_iterator(workDir), fs::directory_iterator()), 1);
    fs::path file = fs::directory_iterator(workDir)->path();
    EXPECT_TRUE(
        std::regex_match(file.filename().string(), std::regex(R"(_VeltrixNativeErrorLogger_\d{4}-\d\d-\d\d\.txt)")));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_match(content, std::regex("^" + stamp + ThreadId() +
                                                     "\tVeltrix Core Exception: Exception code 042\\. \nMessage too "
                                                     "short\n" +
                                                     stamp + ".*\tsecond failure\n$")))
        << content;
    EXPECT_EQ(content.substr(0, 10), file.stem().string().substr(26));
    EXPECT_EQ(Utils.CallsOf("LogMessage")[0],
              (Strings{"Native exception", "Veltrix Core Exception: Exception code 042. Message too short", "Clr"}));
    // Above off, standard error shows the line and the contact line, which the file never holds.
    for (const char* level : {"runtimeinfo", "ALL"}) {
        Utils.level = level;
        EXPECT_TRUE(
            std::regex_match(RaiseEchoed("code line. \ndetail"),
                             std::regex("^" + stamp + ThreadId() + "\tcode line. \ndetail\n" + contactLine + "\n$")));
    }
    EXPECT_EQ(Records().size(), 4U);
    for (const auto& record : Records()) EXPECT_EQ(record.find("contact"), std::string::npos);
}

TEST_F(Config, ACopyRecordsNothing) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcatch-value"
    try {
        throw VeltrixNativeException("copied failure", "Unknown");
    } catch (VeltrixNativeException caught) {  // by value on purpose: the copy records nothing
        VeltrixNativeException copy(caught);
        EXPECT_STREQ(copy.what(), "copied failure");
    }
#pragma GCC diagnostic pop
    EXPECT_EQ(Records().size(), 1U);
    EXPECT_EQ(Utils.calls.size(), 3U);  // GetLoggingLevel, GetWorkingDirectory, LogMessage: once
}

// While the facade itself fails, the record ends with what it can still do, and the original is raised.
TEST_F(Config, ARecordGoesOnWithoutTheQueriesThatFail) {
    Utils.workDir = (workDir / "absent").string();
    EXPECT_EQ(RaiseEchoed("no file for this one"), "");
    Utils.workDir = workDir.string();
    Fakes().Add(UtilsPath(), {{"GetLoggingLevel", nullptr}});
    EXPECT_EQ(RaiseEchoed("level missing"), "");
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Fakes().Add(UtilsPath(), {{"GetWorkingDirectory", nullptr}});
    EXPECT_EQ(RaiseEchoed("directory missing"), "");
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Utils.throwing = {"GetWorkingDirectory"};
    EXPECT_EQ(RaiseEchoed("directory failing"), "");
    EXPECT_EQ(Records().size(), 1U);
    EXPECT_FALSE(fs::exists(workDir / "absent"));
    // A nested failure is sent as telemetry only.
    const std::string noDirectory = "GetWorkingDirectory function not found in Utils library";
    EXPECT_EQ(Sent(), (Strings{"no file for this one", "GetLoggingLevel function not found in Utils library",
                               "level missing", noDirectory, noDirectory, "directory missing",
                               "GetWorkingDirectory failed in fake", "directory failing"}));
}

class ConfigConcurrency : public Config {};

TEST_F(ConfigConcurrency, ThreadsSendingTheirFirstEventsAtOnceAreEachDeliveredOnce) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i] { AppInsightLogger::LogMessage("op", "event " + std::to_string(i), "Perl"); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(Utils.CallsOf("LogMessage").size(), 8U);
}

class ConfigInOwnProcess : public Config {};

// The libraries are loaded once per process: their absence shows only until they are found, in load order,
// and every call tries again. The exception's record goes on with what it can still do.
TEST_F(ConfigInOwnProcess, MissingLibrariesAreReportedInLoadOrderAndLoadedOnceThere) {
    for (const std::string& library : {OpenSslPath(crypto.c_str()), OpenSslPath(ssl.c_str()), UtilsPath()}) {
        Fakes().Remove(library);
    }
    EXPECT_EQ(errorOf([] { Call("GetLoggingLevel"); }), CannotLoad(OpenSslPath(crypto.c_str())));
    std::string echoed = RaiseEchoed("original failure");  // the level is unknown: the console line is written
    EXPECT_TRUE(std::regex_match(echoed, std::regex("^" + stamp + ".*\toriginal failure\n" + contactLine + "\n$")));
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "lost", "Perl"), 0);
    Fakes().Add(OpenSslPath(crypto.c_str()));
    EXPECT_EQ(errorOf([] { Call("GetWorkingDirectory"); }), CannotLoad(OpenSslPath(ssl.c_str())));
    Fakes().Add(OpenSslPath(ssl.c_str()));
    EXPECT_EQ(errorOf([] { Call("ProxyExists"); }), CannotLoad(UtilsPath()));  // also for a defaulting query
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Fakes().Add(UtilsPath(), {{"LogMessage", nullptr}});
    EXPECT_EQ(Call("GetConfigSource"), "fake-source");
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "dropped", "Perl"), 0);
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "kept", "Perl"), 0);
    EXPECT_EQ(Sent(), Strings{"kept"});
    EXPECT_TRUE(Records().empty());
    for (const std::string& library : {OpenSslPath(crypto.c_str()), OpenSslPath(ssl.c_str()), UtilsPath()}) {
        EXPECT_EQ(Fakes().References(library), 1);
    }
}

// Telemetry loads Utils.dll even when the OpenSSL pair is missing (best effort); the facade does not.
TEST_F(ConfigInOwnProcess, WithoutOpenSslOnlyTelemetryReachesUtils) {
    Fakes().Remove(OpenSslPath(crypto.c_str()));
    EXPECT_NE(RaiseEchoed("original failure").find("\toriginal failure\n"), std::string::npos);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Sent().back(), "original failure");
    EXPECT_EQ(Utils.CallsOf("GetLoggingLevel").size(), 0U);
}

}  // namespace
