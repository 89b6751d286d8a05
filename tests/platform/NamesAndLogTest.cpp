// Runtime names, library names, the message log and the text conversions of the core.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "FileLogger/FileLogger.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"
#include "TempProductTree.h"

using VeltrixNS::Native::FileLogger::FileLogger;
using VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler;

TEST(RuntimeNames, EveryNumberHasItsNameAndLibrary) {
    const char* names[] = {"Clr", "Go", "Jvm", "Netcore", "Perl", "Python", "Ruby", "Nodejs", "Cpp", "Php", "Python2"};
    for (int i = 0; i <= 10; ++i) {
        EXPECT_EQ(RuntimeNameHandler::GetRuntimeName(i), names[i]);
        EXPECT_EQ(RuntimeNameHandler::getRuntimeLibraryName(i),
                  std::string("Veltrix") + names[i] + "RuntimeNative.dll");
    }
    EXPECT_EQ(RuntimeNameHandler::getRuntimeLibraryName(4), "VeltrixPerlRuntimeNative.dll");
}

TEST(RuntimeNames, OutOfRangeIsUnknown) {
    for (int bad : {11, -1, 255, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(RuntimeNameHandler::GetRuntimeName(bad), "Unknown");
        EXPECT_EQ(RuntimeNameHandler::getRuntimeLibraryName(bad), "Unknown");
    }
}

TEST(TextConversion, WideToUtf8AndNarrowStopsAtNul) {
    EXPECT_EQ(FileLogger::wstringToString(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(FileLogger::wstringToString(L""), "");
    std::wstring withNul(L"ab\0cd", 5);
    EXPECT_EQ(FileLogger::wstringToString(withNul).size(), 5U);
    EXPECT_EQ(FileLogger::stringToWString(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(FileLogger::stringToWString("caf\xC3\xA9"), L"caf\u00E9");
}

TEST(MessageLog, BytesAreLoggedAsDecimalsToStdoutAndTheDailyFile) {
    veltrix::test::TempProductTree tree;
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(tree.root());
    testing::internal::CaptureStdout();
    byte bytes[] = {0x00, 0x41, 0xFF};
    FileLogger::native_printToFile(bytes, 3);
    FileLogger::native_printToFile(std::string("second"));
    std::string printed = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(previous);

    std::filesystem::path file;
    for (const auto& entry : std::filesystem::directory_iterator(tree.root())) {
        if (entry.path().filename().string().rfind("_VeltrixMessages_", 0) == 0) file = entry.path();
    }
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(_VeltrixMessages_\d{4}-\d\d-\d\d\.txt)")));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, printed);
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tThread ID: \d+\t0\t65\t255\t\n.*\tsecond\n)");
    EXPECT_TRUE(std::regex_match(content, line)) << content;
}
