// WorkerTable.h: what the worker processes tell their supervisor, in memory shared by all of them.
#pragma once
#include <sys/mman.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace VeltrixNS::Server {

// One worker's load. Lock-free atomics: they work across processes in shared memory.
struct WorkerSlot {
    std::atomic<int> pid{0};
    std::atomic<int> connections{0};            // handed over by the supervisor, not yet closed by the worker
    std::atomic<int> active{0};                 // connections whose command waits for or runs in the interpreter
    std::atomic<std::int64_t> runningSince{0};  // CLOCK_MONOTONIC nanoseconds of the running command, 0: none
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

struct WorkerTable {
    static constexpr int kMaxWorkers = 256;
    std::atomic<std::uint64_t> bytesInFlight{0};  // frame buffers of every connection of every worker
    WorkerSlot slots[kMaxWorkers];
};

// The table in an anonymous shared mapping, inherited by every process forked after it was made.
class SharedWorkerTable {
public:
    SharedWorkerTable() {
        void* memory = ::mmap(nullptr, sizeof(WorkerTable), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::runtime_error("cannot map the worker table");
        table_ = new (memory) WorkerTable();
    }
    ~SharedWorkerTable() {
        table_->~WorkerTable();
        ::munmap(table_, sizeof(WorkerTable));
    }
    SharedWorkerTable(const SharedWorkerTable&) = delete;
    SharedWorkerTable& operator=(const SharedWorkerTable&) = delete;
    WorkerTable& operator*() const { return *table_; }
    WorkerTable* operator->() const { return table_; }

private:
    WorkerTable* table_;
};

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the server.
inline std::int64_t MonotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace VeltrixNS::Server
