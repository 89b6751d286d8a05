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

std::string ThreadId() {
    std::ostringstream text;
    text << std::this_thread::get_id();
    return text.str();
}

// Every operation of the facade, by its name, with its result as text.
std::string Call(const std::string& name, const std::string& a = "r", const std::string& b = "c") {
    using C = ConfigHandler;
    if (name == "SetConfigSource") return std::to_string(C::SetConfigSource(a));
    if (name == "GetConfigSource") return C::GetConfigSource();
    if (name == "GetWorkingDirectory") return C::GetWorkingDirectory();
    if (name == "SetWorkingDirectory") return std::to_string(C::SetWorkingDirectory(a));
    if (name == "GetLoggingLevel") return std::to_string(static_cast<int>(C::GetLoggingLevel()));
    if (name == "GetRuntimeName") return C::GetRuntimeName(a, b);
    if (name == "GetChannelType") return C::GetChannelType(a, b);
    if (name == "GetChannelHost") return C::GetChannelHost(a, b);
    if (name == "GetChannelPort") return std::to_string(C::GetChannelPort(a, b));
    if (name == "GetChannelRuntimePath") return C::GetChannelRuntimePath(a, b);
    if (name == "ProxyExists") return C::ProxyExists() ? "true" : "false";
    if (name == "GetProxyHost") return C::GetProxyHost();
    if (name == "GetProxyPort") return std::to_string(C::GetProxyPort());
    if (name == "GetProxyUsername") return C::GetProxyUsername();
    if (name == "GetProxyPassword") return C::GetProxyPassword();
    return C::GetProxyDomain();
}
const char* const everyOperation[] = {
    "SetConfigSource", "GetConfigSource",       "GetWorkingDirectory", "SetWorkingDirectory",
    "GetLoggingLevel", "GetRuntimeName",        "GetChannelType",      "GetChannelHost",
    "GetChannelPort",  "GetChannelRuntimePath", "ProxyExists",         "GetProxyHost",
    "GetProxyPort",    "GetProxyUsername",      "GetProxyPassword",    "GetProxyDomain"};

std::string CannotLoad(const std::string& path) {
    return "Veltrix Core Exception: Exception code 001. \nCannot load: " + path + ". \nError: 126 - " + path +
           ": cannot open shared object file: No such file or directory";
}

class Config : public ::testing::Test {
protected:
    static veltrix::test::FakeLibraries& Fakes() {
        static veltrix::test::FakeLibraries fakes;
        return fakes;
    }
    void SetUp() override {
        Utils = FakeUtilsState{};
        Utils.workDir = workDir.string();
        fs::create_directories(workDir);
        Fakes().Add(OpenSslPath("libcrypto-3-x64.dll"));
        Fakes().Add(OpenSslPath("libssl-3-x64.dll"));
        Fakes().Add(UtilsPath(), FakeUtilsExports());
    }
    // The lines of the error log files in the working directory, and the records among them.
    Strings LogLines() const {
        Strings lines;
        for (const auto& entry : fs::directory_iterator(workDir)) {
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) lines.push_back(line);
        }
        return lines;
    }
    Strings Records() const {
        Strings records;
        for (const auto& line : LogLines()) {
            if (std::regex_search(line, std::regex("^" + stamp))) records.push_back(line);
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
    std::string results;
    for (const char* operation : everyOperation) results += Call(operation) + "|";
    EXPECT_EQ(results,
              "-7|fake-source|" + workDir.string() +
                  "|-7|0|GetRuntimeName(r,c)|GetChannelType(r,c)|GetChannelHost(r,c)|-7|GetChannelRuntimePath(r,"
                  "c)|true|GetProxyHost-value|-7|GetProxyUsername-value|GetProxyPassword-value|GetProxyDomain-"
                  "value|");
    EXPECT_EQ(CallsOf("GetChannelHost"), (std::vector<Strings>{{"r", "c"}}));
    EXPECT_EQ(CallsOf("SetConfigSource"), (std::vector<Strings>{{"r"}}));
    EXPECT_EQ(Utils.calls.size(), 16U);
    EXPECT_TRUE(LogLines().empty());
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

TEST_F(Config, AMissingExportGivesTheQueryItsDefaultAndRaisesFromASetter) {
    Fakes().Add(UtilsPath(), {{"GetChannelPort", nullptr}, {"SetConfigSource", nullptr}});
    EXPECT_EQ(Call("GetChannelPort"), "0");
    auto records = Records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].find("\tGetChannelPort function not found in Utils library"), std::string::npos);
    EXPECT_EQ(
        CallsOf("LogMessage"),
        (std::vector<Strings>{{"Native exception", "GetChannelPort function not found in Utils library", "Unknown"}}));
    // Raised by the lookup, caught and raised anew: two records.
    EXPECT_EQ(errorOf([] { Call("SetConfigSource"); }), "SetConfigSource function not found in Utils library");
    EXPECT_EQ(Records().size(), 3U);
    EXPECT_EQ(CallsOf("LogMessage").size(), 3U);
}

TEST_F(Config, AThrowingExportIsSwallowedByQueriesAndRaisedBySetters) {
    Utils.throwing = {"GetChannelHost", "GetProxyPort", "ProxyExists", "SetWorkingDirectory"};
    EXPECT_EQ(Call("GetChannelHost"), "");
    EXPECT_EQ(Call("GetProxyPort"), "0");
    EXPECT_EQ(Call("ProxyExists"), "false");
    EXPECT_TRUE(LogLines().empty());  // no exception is constructed for a swallowed failure
    EXPECT_EQ(errorOf([] { Call("SetWorkingDirectory"); }), "SetWorkingDirectory failed in fake");
    EXPECT_EQ(Records().size(), 1U);
    EXPECT_EQ(CallsOf("LogMessage").size(), 1U);
}

TEST_F(Config, OneEventIsOneExportCallWithItsTextsUnchangedAndInOrder) {
    EXPECT_EQ(AppInsightLogger::LogMessage("op name", "event\ttext", "Perl"), 0);
    EXPECT_EQ(CallsOf("LogMessage"), (std::vector<Strings>{{"op name", "event\ttext", "Perl"}}));
}

TEST_F(Config, TheRecordIsOneDatedFileLineAndTelemetryWithoutLineFeeds) {
    std::string message = "Veltrix Core Exception: Exception code 042. \nMessage too short";
    EXPECT_EQ(errorOf([&] { throw VeltrixNativeException(message, "Clr"); }), message);
    EXPECT_EQ(errorOf([] { Raise("second failure"); }), "second failure");
    ASSERT_EQ(std::distance(fs::directory_iterator(workDir), fs::directory_iterator()), 1);
    fs::path file = fs::directory_iterator(workDir)->path();
    EXPECT_TRUE(
        std::regex_match(file.filename().string(), std::regex(R"(_VeltrixNativeErrorLogger_\d{4}-\d\d-\d\d\.txt)")));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(
        std::regex_match(content, std::regex("^" + stamp + ThreadId() + "\t" +
                                             "Veltrix Core Exception: Exception code 042\\. \nMessage too short\n" +
                                             stamp + ".*\tsecond failure\n$")))
        << content;
    EXPECT_EQ(content.substr(0, 10), file.stem().string().substr(26));
    EXPECT_EQ(CallsOf("LogMessage")[0],
              (Strings{"Native exception", "Veltrix Core Exception: Exception code 042. Message too short", "Clr"}));
}

TEST_F(Config, StandardErrorShowsTheLineAndTheContactLineUnlessTheLevelIsOff) {
    EXPECT_EQ(RaiseEchoed("quiet failure"), "");
    for (const char* level : {"runtimeinfo", "ALL"}) {
        Utils.level = level;
        EXPECT_TRUE(
            std::regex_match(RaiseEchoed("code line. \ndetail"),
                             std::regex("^" + stamp + ThreadId() + "\tcode line. \ndetail\n" + contactLine + "\n$")));
    }
    EXPECT_EQ(Records().size(), 3U);
    for (const auto& line : LogLines()) EXPECT_EQ(line.find("contact"), std::string::npos);
    EXPECT_EQ(CallsOf("LogMessage").size(), 3U);
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
    EXPECT_EQ(CallsOf("LogMessage").size(), 1U);
    EXPECT_EQ(CallsOf("GetLoggingLevel").size(), 1U);
    EXPECT_EQ(CallsOf("GetWorkingDirectory").size(), 1U);
}

// While the facade itself fails, the record ends with what it can still do, and the original is raised.
TEST_F(Config, ARecordGoesOnWithoutTheQueriesThatFail) {
    Utils.workDir = (workDir / "absent").string();
    EXPECT_EQ(RaiseEchoed("no file for this one"), "");
    EXPECT_FALSE(fs::exists(workDir / "absent"));

    Utils.workDir = workDir.string();
    Fakes().Add(UtilsPath(), {{"GetLoggingLevel", nullptr}});
    EXPECT_EQ(RaiseEchoed("level missing"), "");
    EXPECT_EQ(Records().size(), 1U);
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Fakes().Add(UtilsPath(), {{"GetWorkingDirectory", nullptr}});
    EXPECT_EQ(RaiseEchoed("directory missing"), "");
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Utils.throwing = {"GetWorkingDirectory"};
    EXPECT_EQ(RaiseEchoed("directory failing"), "");
    EXPECT_EQ(Records().size(), 1U);
    // A nested failure is sent as telemetry only.
    Strings sent;
    for (const auto& call : CallsOf("LogMessage")) sent.push_back(call[1]);
    EXPECT_EQ(sent, (Strings{"no file for this one", "GetLoggingLevel function not found in Utils library",
                             "level missing", "GetWorkingDirectory function not found in Utils library",
                             "GetWorkingDirectory function not found in Utils library", "directory missing",
                             "GetWorkingDirectory failed in fake", "directory failing"}));
    // Asked directly, the facade raises the export's text.
    EXPECT_EQ(errorOf([] { Call("GetWorkingDirectory"); }), "GetWorkingDirectory failed in fake");
}

class ConfigConcurrency : public Config {};

TEST_F(ConfigConcurrency, ThreadsSendingTheirFirstEventsAtOnceAreEachDeliveredOnce) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i] { AppInsightLogger::LogMessage("op", "event " + std::to_string(i), "Perl"); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CallsOf("LogMessage").size(), 8U);
}

class ConfigInOwnProcess : public Config {};

// The libraries are loaded once per process: their absence shows only until they are found, and every call
// tries again. The exception's record goes on with what it can still do.
TEST_F(ConfigInOwnProcess, MissingLibrariesAreReportedInLoadOrderAndLoadedOnceThere) {
    Fakes().Remove(OpenSslPath("libcrypto-3-x64.dll"));
    Fakes().Remove(OpenSslPath("libssl-3-x64.dll"));
    Fakes().Remove(UtilsPath());
    EXPECT_EQ(errorOf([] { Call("GetLoggingLevel"); }), CannotLoad(OpenSslPath("libcrypto-3-x64.dll")));
    std::string echoed = RaiseEchoed("original failure");  // the level is unknown: the console line is written
    EXPECT_TRUE(std::regex_match(echoed, std::regex("^" + stamp + ".*\toriginal failure\n" + contactLine + "\n$")))
        << echoed;
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "lost", "Perl"), 0);

    Fakes().Add(OpenSslPath("libcrypto-3-x64.dll"));
    EXPECT_EQ(errorOf([] { Call("GetWorkingDirectory"); }), CannotLoad(OpenSslPath("libssl-3-x64.dll")));
    Fakes().Add(OpenSslPath("libssl-3-x64.dll"));
    for (const char* operation : everyOperation) {
        EXPECT_EQ(errorOf([&] { Call(operation); }), CannotLoad(UtilsPath())) << operation;
    }
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    Fakes().Add(UtilsPath(), {{"LogMessage", nullptr}});
    EXPECT_EQ(Call("GetConfigSource"), "fake-source");
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "dropped", "Perl"), 0);
    Fakes().Add(UtilsPath(), FakeUtilsExports());
    EXPECT_EQ(AppInsightLogger::LogMessage("op", "kept", "Perl"), 0);
    EXPECT_EQ(CallsOf("LogMessage"), (std::vector<Strings>{{"op", "kept", "Perl"}}));
    EXPECT_TRUE(LogLines().empty());
    for (const char* library : {"libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
        EXPECT_EQ(Fakes().References(OpenSslPath(library)), 1);
    }
    EXPECT_EQ(Fakes().References(UtilsPath()), 1);
}

// Telemetry loads Utils.dll even when the OpenSSL pair is missing (best effort); the facade does not.
TEST_F(ConfigInOwnProcess, WithoutOpenSslOnlyTelemetryReachesUtils) {
    Fakes().Remove(OpenSslPath("libcrypto-3-x64.dll"));
    std::string echoed = RaiseEchoed("original failure");
    EXPECT_NE(echoed.find("\toriginal failure\n"), std::string::npos) << echoed;
    EXPECT_TRUE(LogLines().empty());
    Strings sent;
    for (const auto& call : Utils.calls) sent.push_back(call[0] + " " + call[2]);
    EXPECT_EQ(sent.back(), "LogMessage original failure");
    EXPECT_EQ(CallsOf("GetLoggingLevel").size(), 0U);
}

}  // namespace
