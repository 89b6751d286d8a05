// Supervisor.h: the parent of the worker processes. It forks them once Perl is loaded, hands each accepted
// connection to the least loaded one, replaces a worker that dies (and says why), kills one whose command
// outlives the call time-out, and stops them all within a bounded time.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "RuntimeServer.h"
#include "WorkerTable.h"

namespace VeltrixNS::Server {

// Exit statuses a worker ends with when it replaces itself.
inline constexpr int kWorkerCallTimeoutStatus = 70;
inline constexpr int kWorkerMemoryStatus = 71;

// Ends this process at once, as _exit does (no destructors, no exit handlers); a coverage build writes its
// counters first.
[[noreturn]] void EndProcess(int status);

struct SupervisorConfig {
    int workers = 1;
    // A worker whose command runs this long (plus a grace for its own late answer) is killed; 0: never.
    Wire::Milliseconds callTimeout{0};
    // After SIGTERM or SIGINT, workers still running after this long are killed.
    Wire::Milliseconds drainTimeout{10000};
    int maxConnections = 256;
    std::function<void(const std::string&)> log;
};

class Supervisor {
public:
    // Runs in each new worker process with the worker's number and its end of the control socket; returns the
    // process's exit status.
    using Serve = std::function<int(int worker, int controlFd)>;
    // `server` has listened already; the supervisor accepts on its socket.
    Supervisor(SupervisorConfig config, RuntimeServer& server, WorkerTable& table, Serve serve);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // Forks the workers and serves until SIGTERM or SIGINT arrives on `signalFd` (a signalfd that takes SIGCHLD
    // too); then drains and returns. Throws std::runtime_error when workers cannot be forked safely.
    void Run(int signalFd);

private:
    struct Worker {
        pid_t pid = 0;
        int control = -1;
        bool killed = false;  // by the supervisor, after its command outlived the call time-out
        bool served = false;  // was handed a connection
        std::int64_t started = 0;
    };

    void Spawn(int index);
    void Reap(bool block);
    void Dispatch();
    void CheckDeadlines();
    void Stop();
    int Alive() const;
    void Log(const std::string& line) const;

    SupervisorConfig config_;
    RuntimeServer& server_;
    WorkerTable& table_;
    Serve serve_;
    std::vector<Worker> workers_;
    int signalFd_ = -1;
    int nextId_ = 1;
    int rotation_ = 0;
    bool stopping_ = false;
    std::int64_t retryAt_ = 0;  // a failed fork is tried again from then on
};

}  // namespace VeltrixNS::Server
