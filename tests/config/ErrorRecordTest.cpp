// ErrorRecordTest.cpp: what constructing the exception records: console echo, daily error log, telemetry,
// and how construction ends while the configuration facade itself is failing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "ConfigTestSupport.h"

using namespace veltrix::test;
namespace fs = std::filesystem;

namespace {

const std::string contactLine = "If the error persists, contact Veltrix support on: support@veltrix.dev";
const std::string codeLine = "Veltrix Core Exception: Exception code 042. \n";

std::string raiseCapturingStderr(ConfigTree& tree, const std::string& message) {
    tree.probe();  // loaded before capturing, so that loader noise stays out
    testing::internal::CaptureStderr();
    ProbeResult result = tree.raise(message);
    std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, message);
    return captured;
}

}  // namespace

TEST(ErrorRecord, DailyFileInWorkingDirectoryHoldsTimestampThreadIdAndMessage) {
    ConfigTree tree(STANDIN_UTILS);
    std::string before = todayDate();
    ProbeResult result = tree.raise(codeLine + "Message too short", "Clr");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, codeLine + "Message too short");

    fs::path file = tree.workDir() / ("_VeltrixNativeErrorLogger_" + before + ".txt");
    if (!fs::exists(file)) file = tree.workDir() / ("_VeltrixNativeErrorLogger_" + todayDate() + ".txt");
    ASSERT_TRUE(fs::exists(file));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::regex layout(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tThread ID: )" + threadIdText() +
                      "\tVeltrix Core Exception: Exception code 042\\. \nMessage too short\n$");
    EXPECT_TRUE(std::regex_match(content, layout)) << content;
    EXPECT_EQ(content.substr(0, 10), file.stem().string().substr(26));
}

TEST(ErrorRecord, TelemetryTextLosesLineFeedsAndKeepsTheBlank) {
    ConfigTree tree(STANDIN_UTILS);
    tree.raise(codeLine + "Message too short\r\nend", "Clr");
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0],
              (std::vector<std::string>{"LogMessage", "Native exception",
                                        "Veltrix Core Exception: Exception code 042. Message too short\rend", "Clr"}));
}

TEST(ErrorRecord, TwoExceptionsAppendToOneFile) {
    ConfigTree tree(STANDIN_UTILS);
    tree.raise("first failure");
    tree.raise("second failure");
    auto records = tree.errorLogRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("\tfirst failure"), std::string::npos);
    EXPECT_NE(records[1].find("\tsecond failure"), std::string::npos);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(tree.workDir())) ++files;
    EXPECT_EQ(files, 1);
}

TEST(ErrorRecord, StandardErrorStaysSilentAtOffButFileAndTelemetryStillHappen) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_LEVEL", "off", 1);
    EXPECT_EQ(raiseCapturingStderr(tree, "quiet failure"), "");
    EXPECT_EQ(tree.errorLogRecords().size(), 1u);
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 1u);
}

TEST(ErrorRecord, StandardErrorShowsTheLineAndTheContactLineAtRuntimeInfoAndAll) {
    ConfigTree tree(STANDIN_UTILS);
    for (const char* level : {"runtimeinfo", "ALL"}) {
        setenv("STANDIN_UTILS_LEVEL", level, 1);
        std::string echoed = raiseCapturingStderr(tree, codeLine + "detail");
        std::regex layout(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\tThread ID: )" + threadIdText() +
                          "\tVeltrix Core Exception: Exception code 042\\. \ndetail\n" + contactLine + "\n$");
        EXPECT_TRUE(std::regex_match(echoed, layout)) << level << ": " << echoed;
    }
    // The file record carries no contact line.
    for (const auto& line : tree.errorLogLines()) EXPECT_EQ(line.find("contact"), std::string::npos);
}

TEST(ErrorRecord, CopiesRecordNothing) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_LEVEL", "all", 1);
    tree.probe();
    testing::internal::CaptureStderr();
    ProbeResult result = tree.copy("copied failure");
    std::string echoed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.text, "copied failure");
    EXPECT_EQ(tree.errorLogRecords().size(), 1u);
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 1u);
    EXPECT_EQ(tree.standinCalls("GetLoggingLevel").size(), 1u);
    EXPECT_EQ(tree.standinCalls("GetWorkingDirectory").size(), 1u);
    EXPECT_EQ(std::count(echoed.begin(), echoed.end(), '\n'), 2) << echoed;
}

TEST(ErrorRecord, MissingWorkingDirectoryMeansNoFileAndNoError) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_WORKDIR", (tree.workDir() / "absent").c_str(), 1);
    ProbeResult result = tree.raise("no file for this one");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, "no file for this one");
    EXPECT_FALSE(fs::exists(tree.workDir() / "absent"));
    EXPECT_EQ(tree.standinCalls("LogMessage").size(), 1u);
}

// Re-entry: the facade raising while the record asks it must not recurse; the original exception is thrown.
TEST(ErrorRecordReentry, WithoutUtilsLibraryConstructionEndsWithTheOriginalMessageOnStandardError) {
    ConfigTree tree("");
    std::string echoed = raiseCapturingStderr(tree, "original failure");
    // The level is unknown while the facade fails, so the console line is written; there is no file.
    EXPECT_NE(echoed.find("\toriginal failure\n" + contactLine + "\n"), std::string::npos) << echoed;
    EXPECT_EQ(std::count(echoed.begin(), echoed.end(), '\n'), 2) << echoed;
    EXPECT_TRUE(tree.errorLogLines().empty());
}

TEST(ErrorRecordReentry, MissingOpenSslLibraryEndsTheSameWay) {
    ConfigTree tree(STANDIN_UTILS, ConfigTree::OpenSsl::NoCrypto);
    std::string echoed = raiseCapturingStderr(tree, "original failure");
    EXPECT_NE(echoed.find("\toriginal failure\n"), std::string::npos) << echoed;
    EXPECT_TRUE(tree.errorLogLines().empty());
    // Telemetry loads Utils.dll without the OpenSSL pair (best effort), so the original failure is sent.
    auto events = tree.standinCalls();
    ASSERT_FALSE(events.empty());
    for (const auto& call : events) EXPECT_EQ(call[0], "LogMessage");
    EXPECT_EQ(events.back()[2], "original failure");
}

TEST(ErrorRecordReentry, MissingLoggingLevelExportCountsAsOffAndTheRecordGoesOn) {
    ConfigTree tree(STANDIN_UTILS_NO_LOGGING_LEVEL);
    EXPECT_EQ(raiseCapturingStderr(tree, "original failure"), "");
    auto records = tree.errorLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("\toriginal failure"), std::string::npos);
    // The lookup failure raised inside the record is sent as telemetry only.
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][2], "GetLoggingLevel function not found in Utils library");
    EXPECT_EQ(events[1][2], "original failure");
}

TEST(ErrorRecordReentry, MissingWorkingDirectoryExportSkipsTheFile) {
    ConfigTree tree(STANDIN_UTILS_NO_WORKING_DIRECTORY);
    EXPECT_EQ(raiseCapturingStderr(tree, "original failure"), "");
    EXPECT_TRUE(tree.errorLogLines().empty());
    auto events = tree.standinCalls("LogMessage");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()[2], "original failure");
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i][2], "GetWorkingDirectory function not found in Utils library");
    }
}

TEST(ErrorRecordReentry, ThrowingWorkingDirectoryExportSkipsTheFile) {
    ConfigTree tree(STANDIN_UTILS);
    setenv("STANDIN_UTILS_THROW", "GetWorkingDirectory", 1);
    EXPECT_EQ(raiseCapturingStderr(tree, "original failure"), "");
    EXPECT_TRUE(tree.errorLogLines().empty());
    auto events = tree.standinCalls("LogMessage");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][2], "GetWorkingDirectory failed in stand-in");
    EXPECT_EQ(events[1][2], "original failure");

    // Asked directly, the facade still raises the export's text, recorded without recursion.
    ProbeResult direct = tree.call("GetWorkingDirectory");
    EXPECT_EQ(direct.code, 1);
    EXPECT_EQ(direct.text, "GetWorkingDirectory failed in stand-in");
}
