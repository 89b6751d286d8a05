// ConfigFacadeTest.cpp: the configuration facade and the telemetry logger against stand-in Utils.dll
// variants, reached through the config probe in a product tree (the bridge's own loading path).
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "ConfigTestSupport.h"

using namespace veltrix::test;
namespace fs = std::filesystem;

namespace {

const char* const textQueries[] = {"GetRuntimeName", "GetChannelType", "GetChannelHost", "GetChannelRuntimePath"};
const char* const everyOperation[] = {
    "SetConfigSource", "GetConfigSource",       "GetWorkingDirectory", "SetWorkingDirectory",
    "GetLoggingLevel", "GetRuntimeName",        "GetChannelType",      "GetChannelHost",
    "GetChannelPort",  "GetChannelRuntimePath", "ProxyExists",         "GetProxyHost",
    "GetProxyPort",    "GetProxyUsername",      "GetProxyPassword",    "GetProxyDomain"};

std::string cannotLoad(const fs::path& file) {
    return "Veltrix Core Exception: Exception code 001. \nCannot load: " + file.string() + ". \nError: ";
}

}  // namespace

TEST(ConfigFacade, PassesArgumentsInOrderAndReturnsResultsUnchanged) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_RESULT", "-7", 1);
    EXPECT_EQ(tree.call("SetConfigSource", "/some/config.json").text, "-7");
    EXPECT_EQ(tree.call("SetWorkingDirectory", "/some/dir").text, "-7");
    EXPECT_EQ(tree.call("GetChannelPort", "perl", "main").text, "-7");
    EXPECT_EQ(tree.call("GetProxyPort").text, "-7");
    for (const char* query : textQueries) {
        ProbeResult result = tree.call(query, "runtime-r", "config-c");
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(result.text, std::string(query) + "(runtime-r,config-c)");
    }
    EXPECT_EQ(tree.call("GetConfigSource").text, "standin-source");
    EXPECT_EQ(tree.call("GetWorkingDirectory").text, tree.workDir().string());
    EXPECT_EQ(tree.call("ProxyExists").text, "true");
    EXPECT_EQ(tree.call("GetProxyPassword").text, "GetProxyPassword-value");

    auto hosts = tree.standinCalls("GetChannelHost");
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0], (std::vector<std::string>{"GetChannelHost", "runtime-r", "config-c"}));
    EXPECT_EQ(tree.standinCalls("SetConfigSource")[0][1], "/some/config.json");
    EXPECT_TRUE(tree.errorLogLines().empty());
}

TEST(ConfigFacade, LoggingLevelWordsMapInAnyCaseAndAnythingElseIsOff) {
    ConfigTree tree(STANDIN_UTILS);
    const std::pair<const char*, int> cases[] = {
        {"RUNTIMEINFO", 1}, {"RuntimeInfo", 1}, {"runtimeinfo", 1}, {"ALL", 2}, {"all", 2}, {"Off", 0}, {"", 0},
        {" all", 0},        {"all ", 0},        {"verbose", 0},     {"2", 0}};
    for (const auto& [word, level] : cases) {
        setenv("STANDIN_UTILS_LEVEL", word, 1);
        EXPECT_EQ(tree.loggingLevel(), level) << "level word '" << word << "'";
    }
}

TEST(ConfigFacade, MissingQueryExportGivesDefaultAndOneRecord) {
    ConfigTree tree(STANDIN_UTILS_NO_CHANNEL_PORT);
    ProbeResult result = tree.call("GetChannelPort", "perl", "main");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.text, "0");

    auto records = tree.errorLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("\tGetChannelPort function not found in Utils library"), std::string::npos);
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (std::vector<std::string>{"LogMessage", "Native exception",
                                                   "GetChannelPort function not found in Utils library", "Unknown"}));
}

TEST(ConfigFacade, MissingSetterExportRaisesAndIsRecordedTwice) {
    ConfigTree tree(STANDIN_UTILS_NO_SET_CONFIG_SOURCE);
    ProbeResult result = tree.call("SetConfigSource", "/some/config.json");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, "SetConfigSource function not found in Utils library");

    auto records = tree.errorLogRecords();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_NE(record.find("\tSetConfigSource function not found in Utils library"), std::string::npos);
    }
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 2u);
}

TEST(ConfigFacade, ThrowingExportIsSwallowedByQueriesAndRaisedBySetters) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_THROW", "GetChannelHost,GetProxyPort,ProxyExists,SetWorkingDirectory", 1);
    EXPECT_EQ(tree.call("GetChannelHost", "perl", "main").text, "");
    EXPECT_EQ(tree.call("GetProxyPort").text, "0");
    EXPECT_EQ(tree.call("ProxyExists").text, "false");
    // Swallowed failures of the export itself construct no exception, so nothing is recorded.
    EXPECT_TRUE(tree.errorLogLines().empty());
    EXPECT_TRUE(tree.standinCalls("LogMessage").empty());

    ProbeResult result = tree.call("SetWorkingDirectory", "/x");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, "SetWorkingDirectory failed in stand-in");
    EXPECT_EQ(tree.errorLogRecords().size(), 1u);
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 1u);
}

TEST(ConfigFacade, WithoutUtilsLibraryEveryOperationRaisesTheLoadFailure) {
    ConfigTree tree("");
    for (const char* operation : everyOperation) {
        ProbeResult result = tree.call(operation, "a", "b");
        EXPECT_EQ(result.code, 1) << operation;
        EXPECT_EQ(result.text.rfind(cannotLoad(tree.tree().nativeDir() / "Utils.dll"), 0), 0u)
            << operation << ": " << result.text;
    }
    EXPECT_TRUE(tree.errorLogLines().empty());
}

TEST(ConfigFacade, MissingOpenSslLibraryRaisesBeforeUtilsIsTried) {
    ConfigTree tree(STANDIN_UTILS, ConfigTree::OpenSsl::NoSsl);
    ProbeResult result = tree.call("GetLoggingLevel");
    EXPECT_EQ(result.code, 1);
    // Not beside the library: the second candidate under the native directory path, doubled slash included.
    std::string expected = tree.tree().nativeDir().string() + "//Binaries/Native/Windows/X64/libssl-3-x64.dll";
    EXPECT_EQ(result.text.rfind(cannotLoad(expected), 0), 0u) << result.text;
    // The facade never reaches Utils.dll; only the best-effort telemetry loader goes on to it.
    for (const auto& call : tree.standinCalls()) EXPECT_EQ(call[0], "LogMessage");

    ConfigTree noCrypto(STANDIN_UTILS, ConfigTree::OpenSsl::NoCrypto);
    result = noCrypto.call("GetWorkingDirectory");
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.text.find("libcrypto-3-x64.dll"), std::string::npos) << result.text;
}

TEST(ConfigFacade, LoadFailureIsRetriedOnTheNextCall) {
    ConfigTree tree("");
    EXPECT_EQ(tree.call("GetConfigSource").code, 1);
    tree.placeUtils(STANDIN_UTILS);
    ProbeResult result = tree.call("GetConfigSource");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.text, "standin-source");
}

TEST(TelemetryLogger, OneEventIsOneExportCallWithTextsUnchangedAndInOrder) {
    ConfigTree tree(STANDIN_UTILS);
    EXPECT_EQ(tree.logMessage("op name", "event\ttext", "Perl"), 0);
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (std::vector<std::string>{"LogMessage", "op name", "event", "text", "Perl"}));
}

TEST(TelemetryLogger, MissingLibraryOrExportDropsEventsAndLoadIsRetried) {
    ConfigTree tree("");
    EXPECT_EQ(tree.logMessage("op", "lost", "Perl"), 0);
    tree.placeUtils(STANDIN_UTILS);
    EXPECT_EQ(tree.logMessage("op", "kept", "Perl"), 0);
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0][2], "kept");

    ConfigTree noExport(STANDIN_UTILS_NO_LOG_MESSAGE);
    EXPECT_EQ(noExport.logMessage("op", "dropped", "Perl"), 0);
    EXPECT_TRUE(noExport.standinCalls().empty());
}

TEST(TelemetryLogger, ThreadsSendingTheirFirstEventsAtOnceAreEachDeliveredOnce) {
    ConfigTree tree(STANDIN_UTILS);
    auto send = tree.probe().get<int (*)(const char*, const char*, const char*)>("ProbeLogMessage");
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([send, i] { send("op", ("event " + std::to_string(i)).c_str(), "Perl"); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 8u);
}
