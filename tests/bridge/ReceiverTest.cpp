// The receiver in the called role, driving a real interpreter started on the tree's receiver module, and the
// bridge loaded by a relative path; each starts an interpreter, so each runs in a process of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <latch>
#include <thread>

#include "BridgeHarness.h"
#include "Messages.h"

using namespace veltrix::test;

namespace {

const std::string marker = "bridge-test receiver report";
const std::vector<byte> awkward = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0xC3};

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}
// A command for Perl whose echo is a response of the given command type.
std::vector<byte> Message(byte type, std::initializer_list<byte> body = {}) {
    std::vector<byte> message(11 + body.size());
    CommandHeader{.calledRuntime = 4, .commandType = type}.Write(message.data());
    std::copy(body.begin(), body.end(), message.begin() + 11);
    return message;
}
int Exchange(IReceiver* receiver, std::vector<byte> message, int32_t readLength) {
    EXPECT_EQ(receiver->SendCommand(message.data(), static_cast<int32_t>(message.size())),
              static_cast<int>(message.size()));
    std::vector<byte> response(static_cast<size_t>(readLength));
    int result = receiver->ReadResponse(response.data(), readLength);
    EXPECT_TRUE(std::equal(response.begin(), response.end(), message.begin()));
    return result;
}

TEST(ReceiverInOwnProcess, OnlyTheFirstInitializeCountsAndExceptionResponsesAreReported) {
    BridgeHarness bridge({.loggingLevel = "RUNTIMEINFO"});
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(receiver->Initialize(5, 6, 0), 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Perl Native Launcher Runtime Info: \n", 0), 0U) << printed;
    EXPECT_EQ(Occurrences(printed, marker + "\n"), 1U) << printed;
    EXPECT_EQ(bridge.Events("Native message"), (std::vector<Event>{{"Native message", "Perl initialized", "Clr"}}));

    // Named by the runtimes of the first Initialize; one character per byte, printable ASCII as itself.
    receiver->LogException(const_cast<byte*>(awkward.data()), 6);
    EXPECT_EQ(Exchange(receiver, Message(10, {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0xC3}), 17), 0);
    EXPECT_EQ(Exchange(receiver, Message(10), 11), 0);  // eleven bytes show the command type
    EXPECT_EQ(Exchange(receiver, Message(10), 10), 0);  // ten do not
    EXPECT_EQ(Exchange(receiver, Message(11, {0x31, 0x32}), 13), 0);
    EXPECT_EQ(bridge.Events("Perl exception"),
              (std::vector<Event>{{"Perl exception", "  A~  ", "Clr"},
                                  {"Perl exception", std::string(11, ' ') + "  A~  ", "Clr"},
                                  {"Perl exception", std::string(11, ' '), "Clr"}}));
}

TEST(ReceiverInOwnProcessConcurrency, ConcurrentInitializeStartsPerlOnceAndPrintsOnce) {
    BridgeHarness bridge({.loggingLevel = "all"});
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
    EXPECT_EQ(Occurrences(testing::internal::GetCapturedStdout(), marker), 1U);
    EXPECT_EQ(bridge.Events("Native message").size(), 1U);
    EXPECT_EQ(Exchange(receiver, Message(2, {1, 2, 3}), 14), 0);
}

// Every path the library derives (its siblings, its own file for the interpreter, the receiver module) stays
// in the tree it was loaded from by a relative name, whatever the current directory becomes.
TEST(BridgeInOwnProcess, LoadedByARelativePathItKeepsItsTreeAfterAChdir) {
    BridgeHarness bridge({.load = false});
    TempProductTree elsewhere;
    std::filesystem::path start = std::filesystem::current_path();
    ASSERT_EQ(chdir(bridge.tree.root().c_str()), 0);
    bridge.Load("./Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll");
    ASSERT_EQ(chdir(elsewhere.root().c_str()), 0);

    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    EXPECT_EQ(receiver->Initialize(8, 4, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing is printed at off
    EXPECT_EQ(bridge.Events("Native message"), (std::vector<Event>{{"Native message", "Perl initialized", "Cpp"}}));
    EXPECT_EQ(Exchange(receiver, Message(2, {7}), 12), 0);

    auto toGo = rawMessage(CommandHeader{.calledRuntime = 1, .callingRuntime = 4, .commandType = 9});
    EXPECT_EQ(bridge.SendCommand(toGo.data(), 11), -2);
    std::string go = (bridge.tree.nativeDir() / "VeltrixGoRuntimeNative.dll").string();
    EXPECT_EQ(std::string(bridge.GetNativeError()), "Veltrix Core Exception: Exception code 001. \nCannot load: " + go +
                                                        ". \nError: 126 - " + go +
                                                        ": cannot open shared object file: No such file or directory");
    std::filesystem::current_path(start);
}

}  // namespace
