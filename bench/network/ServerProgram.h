// ServerProgram.h: veltrix-server as a quiet child process of a benchmark (standard error to /dev/null), stopped
// with SIGTERM when destroyed.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class ServerProgram {
public:
    // Starts the program with `arguments`, pinned to `cpu` unless it is negative, and reads its first line;
    // Port() is 0 when that line is not "listening on ADDRESS:PORT".
    explicit ServerProgram(std::vector<std::string> arguments, int cpu = -1) {
        std::vector<char*> argv{const_cast<char*>(VELTRIX_SERVER_PROGRAM)};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (cpu >= 0) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(cpu, &set);
                sched_setaffinity(0, sizeof set, &set);
            }
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::dup2(::open("/dev/null", O_WRONLY), 2);
            ::execv(VELTRIX_SERVER_PROGRAM, argv.data());
            _exit(127);
        }
        ::close(out[1]);
        for (char c; pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n';) firstLine_ += c;
        ::close(out[0]);
        if (firstLine_.rfind("listening on ", 0) == 0)
            port_ = static_cast<unsigned short>(std::stoi(firstLine_.substr(firstLine_.rfind(':') + 1)));
    }
    ~ServerProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

    unsigned short Port() const { return port_; }
    const std::string& FirstLine() const { return firstLine_; }

private:
    pid_t pid_ = -1;
    unsigned short port_ = 0;
    std::string firstLine_;
};
