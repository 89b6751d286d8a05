// ChildProgram.h: what the benchmarks that talk to other processes share: where client and server run (the first
// two cores the process may use, read once before any pinning) and a program started on a core as a child, its
// standard output read line by line, stopped with SIGTERM when destroyed.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

struct Placement {
    int clientCpu = -1;  // -1: one core only, nothing is pinned
    int serverCpu = -1;
    std::string name;
};

inline const Placement& GetPlacement() {
    static const Placement placement = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        sched_getaffinity(0, sizeof set, &set);
        std::vector<int> cpus;
        for (int i = 0; i < CPU_SETSIZE; ++i)
            if (CPU_ISSET(i, &set)) cpus.push_back(i);
        Placement p;
        if (cpus.size() >= 2) {
            p.clientCpu = cpus[0];
            p.serverCpu = cpus[1];
            p.name = "split-cores(" + std::to_string(cpus[0]) + "," + std::to_string(cpus[1]) + ")";
        } else {
            p.name = "one-core(" + std::to_string(cpus.empty() ? -1 : cpus[0]) + ")";
        }
        return p;
    }();
    return placement;
}

// Keeps the calling thread on `cpu` (nothing when it is negative).
inline void Pin(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

class ChildProgram {
public:
    // Starts argv[0] with its arguments on `cpu`; its standard error goes to /dev/null when `quiet`.
    ChildProgram(std::vector<std::string> argv, int cpu, bool quiet = true) {
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            Pin(cpu);
            ::dup2(out[1], 1);
            ::close(out[0]);
            if (quiet) ::dup2(::open("/dev/null", O_WRONLY), 2);
            ::execv(args[0], args.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = ::fdopen(out[0], "r");
    }
    ~ChildProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) std::fclose(out_);
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // The next line of its output without the newline; "" at its end.
    std::string Line() {
        char line[512] = {};
        if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return "";
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

// veltrix-server with `arguments`, quiet, on `cpu`; Port() is 0 when its first line is not
// "listening on ADDRESS:PORT ...".
class ServerProgram {
public:
    explicit ServerProgram(std::vector<std::string> arguments, int cpu = -1)
        : program_(WithProgram(std::move(arguments)), cpu), firstLine_(program_.Line()) {
        auto colon = firstLine_.rfind(':');
        if (firstLine_.rfind("listening on ", 0) == 0 && colon != std::string::npos)
            port_ = static_cast<unsigned short>(std::stoi(firstLine_.substr(colon + 1)));
    }
    unsigned short Port() const { return port_; }
    const std::string& FirstLine() const { return firstLine_; }

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), VELTRIX_SERVER_PROGRAM);
        return arguments;
    }
    ChildProgram program_;
    std::string firstLine_;
    unsigned short port_ = 0;
};
