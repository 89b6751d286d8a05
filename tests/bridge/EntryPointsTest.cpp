// The receiver's creation, the configuration entry points and the failure text, through the bridge's exports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "BridgeHarness.h"

using veltrix::test::BridgeHarness;
using veltrix::test::Called;
using veltrix::test::Calling;
using veltrix::test::NotInitialized;
using veltrix::test::transmitterMode;

namespace {

const char* const nullStringText = "basic_string: construction from null is not valid";
const char* const shortCommandText = "Message byte array length is less than 11";

}  // namespace

TEST(CreateReceiver, TwoCallsReturnTheSameReceiver) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    IReceiver* first = bridge.CreateReceiver(Called);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(bridge.CreateReceiver(Called), first);
    EXPECT_EQ(bridge.CreateReceiver(Calling), first);
    EXPECT_EQ(bridge.GetReceiver(), first);
}

TEST(CreateReceiver, WithoutARoleRaisesCode032AndALaterCalledRuntimeCallSucceeds) {
    BridgeHarness bridge;
    try {
        bridge.CreateReceiver(NotInitialized);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Veltrix Core Exception: Exception code 032. \nRuntime not initialized");
    }
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    // The failed call's exception was recorded as telemetry, with its line feed removed.
    auto recorded = bridge.events("Native exception");
    ASSERT_EQ(recorded.size(), 1U);
    EXPECT_EQ(recorded[0].message, "Veltrix Core Exception: Exception code 032. Runtime not initialized");

    IReceiver* receiver = bridge.CreateReceiver(Called);
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(bridge.GetReceiver(), receiver);
    // The role is now fixed to the called one: a transmitter asked for as the caller gets it.
    EXPECT_EQ(transmitterMode(bridge.CreateTransmitter(Calling)), static_cast<int>(Called));
}

TEST(GetNativeError, UndefinedBeforeAnyFailureThenKeepsTheFailureAfterASuccess) {
    BridgeHarness bridge;
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");

    byte tooShort[10] = {};
    EXPECT_EQ(bridge.SendCommand(tooShort, 10), -2);
    const char* kept = bridge.GetNativeError();
    EXPECT_STREQ(kept, shortCommandText);

    EXPECT_EQ(bridge.SetConfigSource("source-after-failure"), 0);
    EXPECT_EQ(bridge.GetNativeError(), kept);
    EXPECT_STREQ(kept, shortCommandText);
}

TEST(GetNativeError, EachThreadReadsItsOwnLastFailure) {
    BridgeHarness bridge;
    std::string seenByFailingThread;
    std::thread failing([&] {
        EXPECT_EQ(bridge.SetConfigSource(nullptr), -6);
        seenByFailingThread = bridge.GetNativeError();
    });
    failing.join();
    EXPECT_EQ(seenByFailingThread, nullStringText);
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");
}

TEST(ConfigEntryPoints, PassTheUtilsResultThroughUnchanged) {
    BridgeHarness bridge;
    setenv("FRONT_UTILS_RESULT", "42", 1);
    EXPECT_EQ(bridge.SetConfigSource("config-source-text"), 42);
    EXPECT_EQ(bridge.SetWorkingDirectory("/some/working/dir"), 42);
    setenv("FRONT_UTILS_RESULT", "-9", 1);
    EXPECT_EQ(bridge.SetConfigSource("second"), -9);
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");

    auto calls = bridge.utilsCalls();
    std::vector<std::pair<std::string, std::string>> configCalls;
    for (const auto& call : calls) {
        if (call.kind != "LogMessage") configCalls.emplace_back(call.kind, call.operation);
    }
    std::vector<std::pair<std::string, std::string>> expected = {{"SetConfigSource", "config-source-text"},
                                                                 {"SetWorkingDirectory", "/some/working/dir"},
                                                                 {"SetConfigSource", "second"}};
    EXPECT_EQ(configCalls, expected);
}

TEST(ConfigEntryPoints, AFailureOfUtilsBecomesMinus6OrMinus7WithItsText) {
    BridgeHarness bridge;
    setenv("FRONT_UTILS_THROW", "1", 1);
    EXPECT_EQ(bridge.SetConfigSource("refused-source"), -6);
    EXPECT_STREQ(bridge.GetNativeError(), "stand-in Utils refuses SetConfigSource: refused-source");
    EXPECT_EQ(bridge.SetWorkingDirectory("/refused/dir"), -7);
    EXPECT_STREQ(bridge.GetNativeError(), "stand-in Utils refuses SetWorkingDirectory: /refused/dir");
}

TEST(ConfigEntryPoints, WithoutUtilsLibraryTheyReturnTheLoadFailure) {
    BridgeHarness::Options options;
    options.withUtils = false;
    BridgeHarness bridge(options);
    std::string expectedStart =
        "Veltrix Core Exception: Exception code 001. \nCannot load: " + bridge.tree().nativeDir().string() +
        "/Utils.dll. \nError: 126 - ";

    EXPECT_EQ(bridge.SetConfigSource("anything"), -6);
    std::string text = bridge.GetNativeError();
    EXPECT_EQ(text.rfind(expectedStart, 0), 0U) << text;

    EXPECT_EQ(bridge.SetWorkingDirectory("/anywhere"), -7);
    text = bridge.GetNativeError();
    EXPECT_EQ(text.rfind(expectedStart, 0), 0U) << text;
}

TEST(ConfigEntryPoints, WithTheProductUtilsLibrarySuccessAndFailureComeThrough) {
    BridgeHarness::Options options;
    options.utilsLibrary = FRONT_REAL_UTILS;
    BridgeHarness bridge(options);
    // First, so that the error records of the failures below land in the throw-away tree.
    EXPECT_EQ(bridge.SetWorkingDirectory(bridge.tree().root().c_str()), 0);
    EXPECT_EQ(bridge.SetConfigSource("{}"), 0);
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");

    EXPECT_EQ(bridge.SetWorkingDirectory("/no/such/front-dir"), -7);
    EXPECT_STREQ(bridge.GetNativeError(),
                 "Utils: SetWorkingDirectory: '/no/such/front-dir' is not an existing directory");
    EXPECT_EQ(bridge.SetConfigSource(""), -6);
    EXPECT_STREQ(bridge.GetNativeError(), "Utils: the configuration source is empty");
}

TEST(EntryPoints, NullTextArgumentsFailWithTheStandardLibraryText) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.SetConfigSource(nullptr), -6);
    EXPECT_STREQ(bridge.GetNativeError(), nullStringText);
    EXPECT_EQ(bridge.SetWorkingDirectory(nullptr), -7);
    EXPECT_STREQ(bridge.GetNativeError(), nullStringText);
    EXPECT_EQ(bridge.SetEmbeddedRuntime(4, 0, 0, nullptr), -4);
    EXPECT_STREQ(bridge.GetNativeError(), nullStringText);
    byte message[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    EXPECT_EQ(bridge.DeployRuntime(message, 11, nullptr, 0), -5);
    EXPECT_STREQ(bridge.GetNativeError(), nullStringText);
    // Nothing reached the utilities library's configuration exports.
    for (const auto& call : bridge.utilsCalls()) EXPECT_EQ(call.kind, "LogMessage");
}

TEST(EntryPoints, ReadResponseBeforeAnyCommandIsMinus3) {
    BridgeHarness bridge;
    byte buffer[16] = {};
    EXPECT_EQ(bridge.ReadResponse(buffer, 16), -3);
    EXPECT_STREQ(bridge.GetNativeError(), "No transmitter exists yet: send a command before reading its response");
    // Reading does not create a transmitter.
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);
}

TEST(EntryPoints, ACommandOfTenBytesIsRefused) {
    BridgeHarness bridge;
    byte message[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4};
    EXPECT_EQ(bridge.SendCommand(message, 10), -2);
    EXPECT_STREQ(bridge.GetNativeError(), shortCommandText);
    EXPECT_EQ(bridge.SendCommand(nullptr, 0), -2);
    EXPECT_STREQ(bridge.GetNativeError(), shortCommandText);
}
