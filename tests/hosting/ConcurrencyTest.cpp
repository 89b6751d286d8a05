// 8 threads on the one interpreter (half sharing one client, half with a client each) make mixed calls (functions,
// methods, objects created and dropped, host callbacks made, called from Perl and dropped), every result checked.
// Calls per thread: VELTRIX_STRESS_CALLS, else 10000 (about ten seconds under ThreadSanitizer).
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "HostClient/PerlClient.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;

namespace {

// A client of the process's interpreter, which has the counter class defined.
PerlClient client() {
    static veltrix::test::TempProductTree tree;
    static PerlClient first = [] {
        tree.addRunnableBridge();
        tree.addNativeLibrary(CPP_RUNTIME_LIBRARY);
        PerlClient c(tree.root());
        c.Eval(
            "package Stress::Counter; our $Live = 0; sub new { $Live++; return bless {n => $_[1]}, $_[0] } "
            "sub add { return $_[0]{n} += $_[1] } sub DESTROY { $Live-- }");
        return c;
    }();
    return PerlClient(tree.root());
}

// One thread's calls; the first wrong result, or an empty text.
std::string mixedCalls(PerlClient perl, int thread, int calls) {
    Handle counter = perl.CreateInstance("Stress::Counter", {0});
    for (int i = 0, total = 0; i < calls; ++i) {
        Value got, want;
        if (i % 4 == 0) {
            got = perl.CallFunction("List::Util::sum", {thread, i, 1}), want = thread + i + 1;
        } else if (i % 4 == 1) {
            got = perl.CallMethod(counter, "add", {i}), want = total += i;
        } else if (i % 4 == 2) {
            Handle object = perl.CreateInstance("Stress::Counter", {i});  // released at the end of the block
            got = perl.CallMethod(object, "add", {thread}), want = i + thread;
        } else {
            // A host function registered, called from Perl and released, while other threads do the same.
            Handle above = perl.Callback([thread](int64_t x) { return x > thread; });
            got = perl.CallFunction("List::Util::first", {above, thread, thread + i}), want = thread + i;
        }
        if (!(got == want))
            return "thread " + std::to_string(thread) + ": " + got.toString() + " for " + want.toString();
    }
    return "";
}

}  // namespace

TEST(PerlHostingThreads, ThreadsShareTheInterpreterAndEveryResultIsRight) {
    PerlClient shared = client();
    const int64_t handles = shared.CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt();
    const int calls = std::getenv("VELTRIX_STRESS_CALLS") ? std::atoi(std::getenv("VELTRIX_STRESS_CALLS")) : 10000;
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::string failure;
            try {
                failure = mixedCalls(t % 2 == 0 ? shared : client(), t, calls);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            std::lock_guard guard(mutex);
            if (!failure.empty()) failures.push_back(failure);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(shared.CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt(), handles);
    EXPECT_EQ(shared.GetPackageVariable("Stress::Counter", "Live").asInt(), 0) << "every object destroyed";
}
