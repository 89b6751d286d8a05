// WorkerBench.cpp: small calls through veltrix-server with one worker against two, from 1, 2, 4 and 16 client
// connections, and the latency of a small call while another client runs a one-second call. Both servers run in
// one process, every benchmark is repeated with the repetitions interleaved, and the summary gives the medians,
// the ratios of two workers to one and the machine's load before and after. The bare floor (a socket ping-pong
// of the same clients) is network_bench's BM_BareHeartBeat.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "ITransport.h"
#include "Messages.h"
#include "TempProductTree.h"

namespace {

using veltrix::test::commandMessage;
using VeltrixNS::Native::Interfaces::ITransport;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using VeltrixNS::Native::Definitions::CommandType;

// The small call sums the numbers it is given, or the first N whole numbers (N = its one argument above 10) for a
// call whose Perl work outweighs the two ends' socket work; the long one keeps a core busy for a second.
const char* const kModule = R"(package Bench;
use strict;
use warnings;
use Time::HiRes ();
sub small { my $s = 0; $s += $_ for @_ == 1 ? (1 .. $_[0]) : @_; $s }
sub busy { my $end = Time::HiRes::time() + $_[0]; my $n = 0; $n++ while Time::HiRes::time() < $end; $n }
1;
)";

veltrix::test::TempProductTree& Tree() {
    static veltrix::test::TempProductTree* tree = [] {
        auto* t = new veltrix::test::TempProductTree();
        t->addRunnableBridge();
        t->writePerlModule("Bench.pm", kModule);
        return t;
    }();
    return *tree;
}

// veltrix-server with `workers` workers, quiet, for the life of the process.
class Server {
public:
    explicit Server(int workers)
        : program_({"--port", "0", "--product", Tree().root().string(), "--workers", std::to_string(workers),
                    "--preload", "Bench", "--call-timeout-ms", "0"}) {
        if (program_.Port() == 0) throw std::runtime_error("veltrix-server did not start: " + program_.FirstLine());
    }
    unsigned short Port() const { return program_.Port(); }

private:
    ServerProgram program_;
};

Server& ServerWith(int workers) {
    static Server one(1), two(2);
    return workers == 1 ? one : two;
}

std::unique_ptr<ITransport> NewChannel(unsigned short port) {
    static void* library = dlopen(VELTRIX_NATIVE_DIR "/VeltrixTcpClient.dll", RTLD_NOW);
    if (library == nullptr) throw std::runtime_error("VeltrixTcpClient.dll missing");
    auto create =
        reinterpret_cast<ITransport* (*)(std::string, unsigned short)>(dlsym(library, "CreateTransportChannel"));
    return std::unique_ptr<ITransport>(create("127.0.0.1", port));
}

// The command through a TCP channel (the server ignores the header's address and port); false on a failure.
bool Call(ITransport& channel, Bytes& message, Bytes& answer) {
    int n = channel.SendCommand(message.data(), static_cast<int>(message.size()));
    if (n < 11) return false;
    answer.resize(static_cast<std::size_t>(n));
    channel.ReadResponse(answer.data(), n);
    return VeltrixNS::Native::Definitions::MessageCommandType(answer.data()) == CommandType::Value;
}

Bytes Message(const std::string& sub, std::vector<veltrix::test::Argument> args) {
    args.insert(args.begin(), sub);
    Bytes message = commandMessage(CommandType::InvokeGlobalMethod, std::move(args));
    auto header = veltrix::test::CommandHeader::Read(message.data());
    header.channelType = 1;
    header.Write(message.data());
    return message;
}

// Sums ten numbers, or the first `count` whole numbers in Perl.
Bytes SmallCall(std::int64_t count = 0) {
    if (count != 0) return Message("Bench::small", {count});
    return Message("Bench::small", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
}

// Small calls per second, each benchmark thread a client connection of its own.
void BM_SmallCalls(benchmark::State& state) {
    auto channel = NewChannel(ServerWith(static_cast<int>(state.range(0))).Port());
    Bytes message = SmallCall(state.range(1)), answer;
    if (!Call(*channel, message, answer)) return state.SkipWithError("the small call failed");
    for (auto _ : state) Call(*channel, message, answer);
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// p50 and p99 of the small call, alone or while another client runs one-second calls one after the other.
void BM_SmallCallLatency(benchmark::State& state) {
    unsigned short port = ServerWith(static_cast<int>(state.range(0))).Port();
    std::atomic<bool> stop{false}, running{false};
    std::thread background;
    if (state.range(1) != 0) {
        background = std::thread([&] {
            auto channel = NewChannel(port);
            Bytes message = Message("Bench::busy", {1.0}), answer;
            while (!stop) {
                running = true;
                Call(*channel, message, answer);
            }
        });
        while (!running) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the long call has its worker
    }
    auto channel = NewChannel(port);
    Bytes message = SmallCall(), answer;
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = Clock::now();
        Call(*channel, message, answer);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    stop = true;
    if (background.joinable()) background.join();
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = samples.back();
}

// Keeps every repetition's counters for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            std::string key =
                run.run_name.function_name + "/" + run.run_name.args + "/threads:" + std::to_string(run.threads);
            for (const auto& [name, counter] : run.counters) values[key][name].push_back(counter.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The median, or with `best` the highest: on a machine others load too, the least disturbed repetition.
    double Median(const std::string& key, const std::string& counter, bool best = false) {
        std::vector<double> v = values[key][counter];
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return best ? v.back() : v[v.size() / 2];
    }
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
};

std::string Load() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

BENCHMARK(BM_SmallCalls)
    ->ArgNames({"workers", "perl_sum_of"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 2000})
    ->Args({2, 2000})
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(16)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Repetitions(9);
BENCHMARK(BM_SmallCallLatency)
    ->ArgNames({"workers", "loaded"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->UseRealTime()
    ->MinTime(3.0)
    ->Repetitions(3);

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.push_back(interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    std::string before = Load();
    benchmark::AddCustomContext("load average at start", before);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::printf("\nload average (1, 5, 15 min): %s at start, %s at the end; %u cores\n", before.c_str(), Load().c_str(),
                std::thread::hardware_concurrency());
    for (const char* call : {"perl_sum_of:0", "perl_sum_of:2000"}) {
        std::printf(
            "calls per second (%s)     median: 1 worker  2 workers  ratio    best: 1 worker  2 workers  ratio\n", call);
        for (int clients : {1, 2, 4, 16}) {
            std::string suffix = std::string("/") + call + "/threads:" + std::to_string(clients);
            std::printf("  %2d clients                ", clients);
            for (bool best : {false, true}) {
                double one = collector.Median("BM_SmallCalls/workers:1" + suffix, "calls_per_s", best);
                double two = collector.Median("BM_SmallCalls/workers:2" + suffix, "calls_per_s", best);
                std::printf("         %9.0f  %9.0f  %5.2f", one, two, one > 0 ? two / one : 0.0);
            }
            std::printf("\n");
        }
    }
    std::printf(
        "median latency of a small call  p50 us     p99 us     max us  (loaded: another client runs 1-s calls)\n");
    for (const char* variant :
         {"workers:1/loaded:0", "workers:1/loaded:1", "workers:2/loaded:0", "workers:2/loaded:1"}) {
        std::string key = std::string("BM_SmallCallLatency/") + variant + "/threads:1";
        std::printf("  %-28s %9.0f  %9.0f  %9.0f\n", variant, collector.Median(key, "p50_us"),
                    collector.Median(key, "p99_us"), collector.Median(key, "max_us"));
    }
    benchmark::Shutdown();
    return 0;
}
