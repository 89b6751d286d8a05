// Many threads on the one interpreter: 8 threads, half of them sharing one client and half with a client each,
// make mixed calls (functions, list context, methods, chains, objects created and dropped) and check every result.
// Calls per thread: VELTRIX_STRESS_CALLS, else 10000 (about half a second here, ten seconds under ThreadSanitizer).
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
sub add { my ($self, $by) = @_; $self->{n} += $by; return $self->{n} }
sub twice { return $_[0]{n} * 2 }
sub sum3 { return $_[0] + $_[1] + $_[2] }
sub pair { return ("t$_[0]", $_[1]) }
sub DESTROY { $Live-- }
1;
)PERL";

int callsPerThread() {
    const char* n = std::getenv("VELTRIX_STRESS_CALLS");
    return n != nullptr ? std::atoi(n) : 10000;
}

// One thread's calls; returns the first wrong result, or an empty text.
std::string mixedCalls(PerlClient& perl, int thread, int calls) {
    Handle counter = perl.CreateInstance("Stress::Counter", {0});
    int64_t total = 0;
    for (int i = 0; i < calls; ++i) {
        Value got, want;
        switch (i % 5) {
            case 0:
                got = perl.CallFunction("Stress::Counter::sum3", {thread, i, 1});
                want = thread + i + 1;
                break;
            case 1:
                got = perl.CallFunction("Stress::Counter::pair", {thread, i}, ListContext);
                want = List{"t" + std::to_string(thread), i};
                break;
            case 2:
                total += i;
                got = perl.CallMethod(counter, "add", {i});
                want = total;
                break;
            case 3: {
                Handle object = perl.CreateInstance("Stress::Counter", {i});
                got = perl.CallMethod(object, "twice");
                want = 2 * i;
                break;  // the object is released here
            }
            default: {
                Command create{CommandType::CreateClassInstance, NoFlags, {"Stress::Counter", i}};
                Command add{CommandType::InvokeInstanceMethod, NoFlags, {create, "add", thread}};
                got = perl.Execute(add);
                want = i + thread;
            }
        }
        if (!(got == want))
            return "thread " + std::to_string(thread) + " call " + std::to_string(i) + ": " + got.toString() +
                   " instead of " + want.toString();
    }
    return "";
}

}  // namespace

const TempProductTree& tree() {
    static TempProductTree tree;
    static bool filled = (tree.addRunnableBridge(), tree.writePerlModule("Stress/Counter.pm", stressModule), true);
    (void)filled;
    return tree;
}

TEST(PerlHostingThreads, TheLockHoldsOffOtherThreadsButNotItsHolder) {
    PerlClient perl(tree().root()), other(tree().root());
    auto lock = other.Lock();
    perl.LoadLibrary("Stress::Counter");
    EXPECT_EQ(perl.CallFunction("Stress::Counter::sum3", {1, 2, 0}).asInt(), 3) << "the holder calls on";
    std::atomic<bool> called{false};
    std::thread waiting([&] {
        perl.CallFunction("Stress::Counter::sum3", {1, 1, 1});
        called = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(called) << "another thread's call waits for the lock";
    lock.unlock();
    waiting.join();
    EXPECT_TRUE(called);
}

TEST(PerlHostingThreads, ThreadsShareTheInterpreterAndEveryResultIsRight) {
    PerlClient shared(tree().root());
    shared.LoadLibrary("Stress::Counter");
    const int64_t handlesBefore = shared.CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt();

    const int calls = callsPerThread();
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::string failure;
            try {
                if (t % 2 == 0) {
                    failure = mixedCalls(shared, t, calls);
                } else {
                    PerlClient own(tree().root());
                    failure = mixedCalls(own, t, calls);
                }
            } catch (const std::exception& e) {
                failure = "thread " + std::to_string(t) + ": " + e.what();
            }
            std::lock_guard lock(mutex);
            if (!failure.empty()) failures.push_back(failure);
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(shared.CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt(), handlesBefore)
        << "every handle released";
    EXPECT_EQ(shared.GetPackageVariable("Stress::Counter", "Live").asInt(), 0) << "every object destroyed";
}
