// Supervisor.cpp: forking, handing over connections, reaping with the reason, deadlines and the stop.
#include "Supervisor.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "HandOver.h"

#ifdef VELTRIX_COVERAGE
extern "C" void __gcov_dump(void);  // NOLINT(bugprone-reserved-identifier): the coverage runtime's own name
#endif

namespace VeltrixNS::Server {

namespace {

constexpr std::int64_t kMillisecond = 1000000;
// The time a worker has to deliver its own late answer and end before the supervisor kills it.
constexpr std::int64_t kDeadlineGrace = 2000 * kMillisecond;

// Threads of this process: a fork copies only the calling one, so the supervisor forks with no other alive.
int ThreadCount() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(tasks);
    return count;
}

std::string Why(int status, bool killedForDeadline) {
    if (WIFSIGNALED(status)) {
        int signal = WTERMSIG(status);
        const char* name = ::strsignal(signal);
        return std::string("was killed by signal ") + std::to_string(signal) + " (" + (name ? name : "?") + ")" +
               (killedForDeadline ? " after its command outlived --call-timeout-ms" : "");
    }
    int code = WEXITSTATUS(status);
    if (code == kWorkerCallTimeoutStatus) return "ended: a command ran past --call-timeout-ms";
    if (code == kWorkerMemoryStatus) return "ended: its resident memory passed --max-worker-rss";
    return code == 0 ? std::string("exited") : "exited with status " + std::to_string(code);
}

}  // namespace

void EndProcess(int status) {
#ifdef VELTRIX_COVERAGE
    __gcov_dump();
#endif
    ::_exit(status);
}

Supervisor::Supervisor(SupervisorConfig config, RuntimeServer& server, WorkerTable& table, Serve serve)
    : config_(std::move(config)), server_(server), table_(table), serve_(std::move(serve)) {
    if (config_.workers < 1 || config_.workers > WorkerTable::kMaxWorkers)
        throw std::runtime_error("the number of workers must be from 1 to " + std::to_string(WorkerTable::kMaxWorkers));
    workers_.resize(static_cast<std::size_t>(config_.workers));
}

Supervisor::~Supervisor() {
    for (Worker& worker : workers_) {
        if (worker.pid > 0) ::kill(worker.pid, SIGKILL);
    }
    Reap(true);
}

void Supervisor::Log(const std::string& line) const {
    if (config_.log) return config_.log(line);
    std::string text = "veltrix-server: " + line + "\n";
    std::cerr << text << std::flush;
}

int Supervisor::Alive() const {
    int alive = 0;
    for (const Worker& worker : workers_) alive += worker.pid > 0;
    return alive;
}

void Supervisor::Spawn(int index) {
    Worker& worker = workers_[static_cast<std::size_t>(index)];
    std::string name = "worker " + std::to_string(index + 1);
    int threads = ThreadCount();
    if (threads != 1) {
        throw std::runtime_error(std::to_string(threads) +
                                 " threads run in the supervisor after Perl started (a "
                                 "preloaded module may start them): workers cannot be forked safely");
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        Log("cannot start " + name + ": socketpair: " + std::strerror(errno) + "; trying again in a second");
        retryAt_ = MonotonicNanoseconds() + 1000 * kMillisecond;
        return;
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        Log("cannot start " + name + ": fork: " + std::strerror(errno) + "; trying again in a second");
        ::close(pair[0]);
        ::close(pair[1]);
        retryAt_ = MonotonicNanoseconds() + 1000 * kMillisecond;
        return;
    }
    if (pid == 0) {
        // The worker keeps its own end of its control socket and nothing else of the supervisor's.
        ::close(pair[0]);
        ::close(signalFd_);
        for (Worker& other : workers_)
            if (other.control >= 0) ::close(other.control);
        int status = 1;
        if (::getppid() == parent) {
            try {
                status = serve_(index, pair[1]);
            } catch (const std::exception& error) {
                Log(name + ": " + error.what());
            }
        }
        EndProcess(status);
    }
    ::close(pair[1]);
    WorkerSlot& slot = table_.slots[index];
    slot.connections = 0;
    slot.active = 0;
    slot.runningSince = 0;
    slot.pid = pid;
    worker = Worker{pid, pair[0], false, false, MonotonicNanoseconds()};
    Log(name + " started (pid " + std::to_string(pid) + ")");
}

void Supervisor::Reap(bool block) {
    for (;;) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, block ? 0 : WNOHANG);
        if (pid <= 0) return;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& worker = workers_[i];
            if (worker.pid != pid) continue;
            // A worker that ends on its own before it served anyone would only end again: its place waits a second.
            bool failing = !worker.served && MonotonicNanoseconds() - worker.started < 1000 * kMillisecond;
            Log("worker " + std::to_string(i + 1) + " (pid " + std::to_string(pid) + ") " + Why(status, worker.killed) +
                (stopping_ ? ""
                 : failing ? "; a new worker takes its place in a second"
                           : "; its connections are closed, a new worker takes its place"));
            ::close(worker.control);
            worker = Worker{};
            table_.slots[i].pid = 0;
            table_.slots[i].connections = 0;
            table_.slots[i].active = 0;
            table_.slots[i].runningSince = 0;
            if (stopping_) continue;
            if (failing)
                retryAt_ = MonotonicNanoseconds() + 1000 * kMillisecond;
            else
                Spawn(static_cast<int>(i));
        }
    }
}

// Accepts one connection and hands it to the worker with the fewest commands in progress, then the fewest
// connections: a worker busy with a long command takes nothing new while another is idle.
void Supervisor::Dispatch() {
    int fd = ::accept4(server_.ListenFd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            Log(std::string("cannot accept: ") + std::strerror(errno));
            ::poll(nullptr, 0, 50);
        }
        return;
    }
    int id = nextId_++;
    int open = 0;
    for (std::size_t i = 0; i < workers_.size(); ++i) open += table_.slots[i].connections.load();
    auto refuse = [&](const std::string& why) {
        Wire::SocketStream refused(fd);
        Log("connection #" + std::to_string(id) + " from " + refused.PeerText() + " refused: " + why);
    };
    if (open >= config_.maxConnections) {
        return refuse(std::to_string(open) + " connections are open (--max-connections)");
    }
    std::vector<int> order;
    for (std::size_t k = 0; k < workers_.size(); ++k) {
        int i = static_cast<int>((k + static_cast<std::size_t>(rotation_)) % workers_.size());
        if (workers_[static_cast<std::size_t>(i)].pid > 0) order.push_back(i);
    }
    rotation_ = (rotation_ + 1) % static_cast<int>(workers_.size());
    auto load = [&](int i) {
        const WorkerSlot& slot = table_.slots[i];
        return std::make_pair(slot.active.load(), slot.connections.load());
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return load(a) < load(b); });
    for (int i : order) {
        WorkerSlot& slot = table_.slots[i];
        slot.connections.fetch_add(1);
        if (SendConnection(workers_[static_cast<std::size_t>(i)].control, id, fd)) {
            workers_[static_cast<std::size_t>(i)].served = true;
            ::close(fd);
            return;
        }
        slot.connections.fetch_sub(1);  // a worker that is ending or overwhelmed: try the next
    }
    refuse(order.empty() ? "no worker process is running" : "no worker process took it");
}

void Supervisor::CheckDeadlines() {
    if (config_.callTimeout.count() == 0) return;
    std::int64_t now = MonotonicNanoseconds();
    std::int64_t limit = config_.callTimeout.count() * kMillisecond + kDeadlineGrace;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& worker = workers_[i];
        std::int64_t since = table_.slots[i].runningSince.load();
        if (worker.pid <= 0 || worker.killed || since == 0 || now - since < limit) continue;
        Log("worker " + std::to_string(i + 1) + " (pid " + std::to_string(worker.pid) +
            ") did not end after its command outlived --call-timeout-ms: killing it");
        ::kill(worker.pid, SIGKILL);
        worker.killed = true;
    }
}

void Supervisor::Run(int signalFd) {
    signalFd_ = signalFd;
    for (int i = 0; i < config_.workers; ++i) Spawn(i);
    pollfd watched[2] = {{server_.ListenFd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(watched, 2, 200);
        if (rc < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        if (rc > 0 && (watched[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            bool stop = false;
            while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                stop = stop || info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT;
            if (stop) return Stop();
        }
        Reap(false);
        if (rc > 0 && (watched[0].revents & POLLIN) != 0) Dispatch();
        CheckDeadlines();
        if (retryAt_ != 0 && MonotonicNanoseconds() >= retryAt_) {
            retryAt_ = 0;
            for (std::size_t i = 0; i < workers_.size(); ++i)
                if (workers_[i].pid == 0) Spawn(static_cast<int>(i));
        }
    }
}

// No new connection; every worker drains (finishes its commands, closes its connections); what still runs after
// the drain time is killed.
void Supervisor::Stop() {
    stopping_ = true;
    server_.CloseListener();
    Log("stopping: " + std::to_string(Alive()) + " workers finish their commands (at most " +
        std::to_string(config_.drainTimeout.count()) + " ms)");
    for (Worker& worker : workers_)
        if (worker.pid > 0) ::kill(worker.pid, SIGTERM);
    std::int64_t deadline = MonotonicNanoseconds() + config_.drainTimeout.count() * kMillisecond;
    while (Alive() > 0 && MonotonicNanoseconds() < deadline) {
        pollfd p{signalFd_, POLLIN, 0};
        ::poll(&p, 1, 50);
        signalfd_siginfo info{};
        while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        Reap(false);
    }
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (workers_[i].pid <= 0) continue;
        Log("worker " + std::to_string(i + 1) + " (pid " + std::to_string(workers_[i].pid) +
            ") did not finish within " + std::to_string(config_.drainTimeout.count()) +
            " ms (--drain-timeout-ms): killing it");
        ::kill(workers_[i].pid, SIGKILL);
    }
    while (Alive() > 0) Reap(true);
}

}  // namespace VeltrixNS::Server
