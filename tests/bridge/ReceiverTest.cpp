// The receiver in the called role, driving a real interpreter on a test receiver module.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "BridgeHarness.h"

using veltrix::test::BridgeHarness;
using veltrix::test::Called;
using veltrix::test::echoReceiverModule;
using veltrix::test::reportMarker;

namespace {

BridgeHarness::Options withEchoModule(const std::string& loggingLevel = "off") {
    BridgeHarness::Options options;
    options.loggingLevel = loggingLevel;
    options.receiverModule = echoReceiverModule;
    return options;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// A response-shaped message: an in-memory header for Perl with the given command type, then the body.
std::vector<byte> message(byte commandType, const std::vector<byte>& body) {
    std::vector<byte> bytes(11 + body.size(), 0);
    bytes[0] = 4;
    bytes[10] = commandType;
    std::copy(body.begin(), body.end(), bytes.begin() + 11);
    return bytes;
}

const std::vector<byte> awkwardBytes = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0xC3};

}  // namespace

TEST(Receiver, OnlyTheFirstInitializeStoresTheRuntimesAndReports) {
    BridgeHarness bridge(withEchoModule());
    IReceiver* receiver = bridge.CreateReceiver(Called);
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(receiver->Initialize(5, 6, 0), 0);

    auto initialized = bridge.events("Native message");
    ASSERT_EQ(initialized.size(), 1U);
    EXPECT_EQ(initialized[0].message, "Perl initialized");
    EXPECT_EQ(initialized[0].runtime, "Clr");

    // The exception event names the runtimes of the first call, not the second.
    std::vector<byte> bytes = awkwardBytes;
    receiver->LogException(bytes.data(), static_cast<int32_t>(bytes.size()));
    auto reported = bridge.events("Perl exception");
    ASSERT_EQ(reported.size(), 1U);
    EXPECT_EQ(reported[0].message, "  A~  ");
    EXPECT_EQ(reported[0].runtime, "Clr");
    EXPECT_TRUE(bridge.events("Ruby exception").empty());
}

TEST(Receiver, ExceptionResponsesAreReportedAsReadableText) {
    BridgeHarness bridge(withEchoModule());
    IReceiver* receiver = bridge.CreateReceiver(Called);
    // A calling runtime number outside the known ones is named "Unknown".
    ASSERT_EQ(receiver->Initialize(99, 4, 0), 0);

    std::vector<byte> exception = message(10, awkwardBytes);
    ASSERT_EQ(receiver->SendCommand(exception.data(), static_cast<int32_t>(exception.size())), 17);
    std::vector<byte> response(17, 0xEE);
    EXPECT_EQ(receiver->ReadResponse(response.data(), 17), 0);
    EXPECT_EQ(response, exception);
    auto reported = bridge.events("Perl exception");
    ASSERT_EQ(reported.size(), 1U);
    // The header bytes 4, 0 ... 0 and 10 are not printable either.
    EXPECT_EQ(reported[0].message, std::string(11, ' ') + "  A~  ");
    EXPECT_EQ(reported[0].runtime, "Unknown");

    // A buffer of ten bytes cannot show the command type: nothing is reported.
    std::vector<byte> shortBuffer(10, 0);
    EXPECT_EQ(receiver->ReadResponse(shortBuffer.data(), 10), 0);
    // A heartbeat response is not an exception.
    std::vector<byte> heartBeat = message(11, {0x31, 0x32});
    ASSERT_EQ(receiver->SendCommand(heartBeat.data(), static_cast<int32_t>(heartBeat.size())), 13);
    std::vector<byte> heartBeatResponse(13, 0);
    EXPECT_EQ(receiver->ReadResponse(heartBeatResponse.data(), 13), 0);
    EXPECT_EQ(heartBeatResponse, heartBeat);
    EXPECT_EQ(bridge.events("Perl exception").size(), 1U);

    // Exactly eleven bytes of an exception response are enough.
    std::vector<byte> bare = message(10, {});
    ASSERT_EQ(receiver->SendCommand(bare.data(), 11), 11);
    std::vector<byte> bareResponse(11, 0);
    EXPECT_EQ(receiver->ReadResponse(bareResponse.data(), 11), 0);
    EXPECT_EQ(bridge.events("Perl exception").size(), 2U);
}

TEST(Receiver, RuntimeReportIsPrintedOnceAtRuntimeInfo) {
    BridgeHarness bridge(withEchoModule("RUNTIMEINFO"));
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    receiver->Initialize(0, 4, 0);
    receiver->Initialize(0, 4, 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(printed, reportMarker), 1U) << printed;
    EXPECT_EQ(printed.rfind("Perl Native Launcher Runtime Info: \n", 0), 0U) << printed;
    EXPECT_NE(printed.find(std::string(reportMarker) + "\n"), std::string::npos) << printed;
}

TEST(Receiver, ConcurrentInitializeStartsPerlOnceAndPrintsOnceAtAll) {
    BridgeHarness bridge(withEchoModule("all"));
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    constexpr int threads = 6;
    std::latch start(threads);
    std::vector<std::thread> callers;
    for (int i = 0; i < threads; ++i) {
        callers.emplace_back([&, i] {
            start.arrive_and_wait();
            EXPECT_EQ(receiver->Initialize(static_cast<byte>(i), 4, 0), 0);
        });
    }
    for (auto& caller : callers) caller.join();
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(printed, reportMarker), 1U) << printed;
    EXPECT_EQ(bridge.events("Native message").size(), 1U);

    std::vector<byte> command = message(2, {1, 2, 3});
    EXPECT_EQ(receiver->SendCommand(command.data(), static_cast<int32_t>(command.size())), 14);
}

TEST(Receiver, NothingIsPrintedAtOff) {
    BridgeHarness bridge(withEchoModule("Off"));
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    receiver->Initialize(0, 4, 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    // The initialisation event does not depend on the level.
    EXPECT_EQ(bridge.events("Native message").size(), 1U);
}
