// Threads on the one interpreter: the lock holds off other threads but not its holder, and 8 threads (half sharing
// one client, half with a client each) make mixed calls (functions, methods, objects created and dropped), every
// result checked. Calls per thread: VELTRIX_STRESS_CALLS, else 10000 (about ten seconds under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "HostClient/PerlClient.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using veltrix::test::TempProductTree;

namespace {

const char* const stressModule = R"PERL(
package Stress::Counter;
our $Live = 0;
sub new { my ($class, $start) = @_; $Live++; return bless {n => $start}, $class }
sub add { my ($self, $by) = @_; return $self->{n} += $by }
sub sum3 { return $_[0] + $_[1] + $_[2] }
sub DESTROY { $Live-- }
1;
)PERL";

const TempProductTree& tree() {
    static TempProductTree tree;
    static bool filled = (tree.addRunnableBridge(), tree.writePerlModule("Stress/Counter.pm", stressModule), true);
    (void)filled;
    return tree;
}

PerlClient& perl() {
    static PerlClient client = [] {
        PerlClient c(tree().root());
        c.LoadLibrary("Stress::Counter");
        return c;
    }();
    return client;
}

// One thread's calls; the first wrong result, or an empty text.
std::string mixedCalls(PerlClient& perl, int thread, int calls) {
    Handle counter = perl.CreateInstance("Stress::Counter", {0});
    for (int i = 0, total = 0; i < calls; ++i) {
        Value got, want;
        if (i % 3 == 0) {
            got = perl.CallFunction("Stress::Counter::sum3", {thread, i, 1}), want = thread + i + 1;
        } else if (i % 3 == 1) {
            got = perl.CallMethod(counter, "add", {i}), want = total += i;
        } else {
            Handle object = perl.CreateInstance("Stress::Counter", {i});  // released at the end of the block
            got = perl.CallMethod(object, "add", {thread}), want = i + thread;
        }
        if (!(got == want))
            return "thread " + std::to_string(thread) + ": " + got.toString() + " for " + want.toString();
    }
    return "";
}

}  // namespace

TEST(PerlHostingThreads, TheLockHoldsOffOtherThreadsButNotItsHolder) {
    PerlClient other(tree().root());  // another client of the same interpreter
    auto lock = other.Lock();
    EXPECT_EQ(perl().CallFunction("Stress::Counter::sum3", {1, 2, 0}).asInt(), 3) << "the holder calls on";
    std::atomic<bool> called{false};
    std::thread waiting([&] { called = perl().CallFunction("Stress::Counter::sum3", {1, 1, 1}).asInt() == 3; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(called) << "another thread's call waits for the lock";
    lock.unlock();
    waiting.join();
    EXPECT_TRUE(called);
}

TEST(PerlHostingThreads, ThreadsShareTheInterpreterAndEveryResultIsRight) {
    const int64_t handles = perl().CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt();
    const char* calls = std::getenv("VELTRIX_STRESS_CALLS");
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::string failure;
            try {
                PerlClient own = t % 2 == 0 ? perl() : PerlClient(tree().root());
                failure = mixedCalls(own, t, calls != nullptr ? std::atoi(calls) : 10000);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            std::lock_guard guard(mutex);
            if (!failure.empty()) failures.push_back(failure);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(perl().CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt(), handles);
    EXPECT_EQ(perl().GetPackageVariable("Stress::Counter", "Live").asInt(), 0) << "every object destroyed";
}
