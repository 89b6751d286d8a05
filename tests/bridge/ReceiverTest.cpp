// The receiver in the called role, driving a real interpreter started on the tree's receiver module, and the
// bridge loaded by a relative path; each starts an interpreter, so each runs in a process of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <latch>
#include <thread>

#include "BridgeHarness.h"

using namespace veltrix::test;

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}
// Sends a command for Perl, which echoes it, and reads `length` bytes of the answer.
void Exchange(IReceiver* receiver, byte type, std::initializer_list<byte> body, int32_t length) {
    auto message = rawMessage({.calledRuntime = 4, .commandType = type}, body);
    EXPECT_EQ(receiver->SendCommand(message.data(), static_cast<int32_t>(message.size())),
              static_cast<int>(message.size()));
    std::vector<byte> response(static_cast<size_t>(length));
    EXPECT_EQ(receiver->ReadResponse(response.data(), length), 0);
    EXPECT_TRUE(std::equal(response.begin(), response.end(), message.begin()));
}

// Initialize from several threads at once starts Perl once and reports once; later calls change nothing. Exception
// responses are named by the runtimes of the first Initialize; one character per byte, printable ASCII as itself.
TEST(ReceiverInOwnProcessConcurrency, OnlyTheFirstInitializeCountsAndExceptionResponsesAreReported) {
    BridgeHarness bridge({.loggingLevel = "RUNTIMEINFO"});
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    std::latch start(6);
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            start.arrive_and_wait();
            EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(receiver->Initialize(5, 6, 0), 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Perl Native Launcher Runtime Info: \n", 0), 0U) << printed;
    EXPECT_EQ(Occurrences(printed, "bridge-test report\n"), 1U) << printed;
    EXPECT_EQ(bridge.Events("Native message"), (std::vector<Event>{{"Native message", "Perl initialized", "Clr"}}));

    std::vector<byte> awkward = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0xC3};
    receiver->LogException(awkward.data(), 6);
    Exchange(receiver, 10, {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0xC3}, 17);
    Exchange(receiver, 10, {}, 11);  // eleven bytes show the command type
    Exchange(receiver, 10, {}, 10);  // ten do not
    Exchange(receiver, 11, {0x31, 0x32}, 13);
    EXPECT_EQ(bridge.Events("Perl exception"),
              (std::vector<Event>{{"Perl exception", "  A~  ", "Clr"},
                                  {"Perl exception", std::string(11, ' ') + "  A~  ", "Clr"},
                                  {"Perl exception", std::string(11, ' '), "Clr"}}));
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
    Exchange(receiver, 2, {7}, 12);

    auto toGo = rawMessage({.calledRuntime = 1, .callingRuntime = 4, .commandType = 9});
    EXPECT_EQ(bridge.SendCommand(toGo.data(), 11), -2);
    std::string go = (bridge.tree.nativeDir() / "VeltrixGoRuntimeNative.dll").string();
    EXPECT_EQ(std::string(bridge.GetNativeError()), "Veltrix Core Exception: Exception code 001. \nCannot load: " + go +
                                                        ". \nError: 126 - " + go +
                                                        ": cannot open shared object file: No such file or directory");
    std::filesystem::current_path(start);
}

}  // namespace
