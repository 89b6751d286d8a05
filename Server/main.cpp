// main.cpp: veltrix-server, a program that hosts the Perl runtime for remote callers over TCP or TLS, in
// pre-forked worker processes.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Definitions/limits.h"
#include "RuntimeHost.h"
#include "RuntimeServer.h"
#include "Supervisor.h"

namespace {

namespace Server = VeltrixNS::Server;
namespace Limits = VeltrixNS::Native::Definitions::Limits;

const char* const kUsage =
    "usage: veltrix-server [options]\n"
    "  --listen ADDRESS          address to listen on (default 127.0.0.1)\n"
    "  --port N                  TCP port (default 8090; 0 picks a free port)\n"
    "  --tls                     serve TLS 1.2 or later; needs --cert and --key\n"
    "  --cert FILE               server certificate chain (PEM)\n"
    "  --key FILE                server private key (PEM)\n"
    "  --client-ca FILE          require client certificates issued by this CA (PEM)\n"
    "  --insecure                allow plain TCP on an address other than loopback\n"
    "  --product DIR             product root holding Binaries/ (default: $VELTRIX_PRODUCT, else the tree\n"
    "                            installed with this program)\n"
    "  --workers N               worker processes, each with its own interpreter (default: the number of cores)\n"
    "  --preload MODULE          load MODULE before the workers start, shared by all (repeatable)\n"
    "  --allow PATTERN           allow only the modules, subs, variables and files matching the patterns\n"
    "                            (repeatable; '*' matches anything; default: everything is allowed)\n"
    "  --allow-eval              allow Eval commands (refused otherwise)\n"
    "  --call-timeout-ms N       a command running longer gets an exception and its worker is replaced\n"
    "                            (default 300000; 0: no limit)\n"
    "  --drain-timeout-ms N      on SIGTERM or SIGINT, time the workers get to finish (default 10000)\n"
    "  --max-frame-bytes N       largest accepted command (default 16777216)\n"
    "  --max-bytes-in-flight N   bytes of incoming frames held at once by the whole server (default 268435456)\n"
    "  --max-worker-rss SIZE     replace a worker whose resident memory passes SIZE (bytes, or with K, M, G;\n"
    "                            default: no limit)\n"
    "  --idle-timeout-ms N       close connections idle for this long (default 60000)\n"
    "  --io-timeout-ms N         time allowed to finish a started frame, a handshake or a write (default 10000)\n"
    "  --max-connections N       connections served at once (default 256)\n"
    "  --version                 print the version and exit\n"
    "The first line on standard output is \"listening on ADDRESS:PORT\"; log lines go to standard error.\n"
    "SIGINT or SIGTERM stop the server.\n";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "veltrix-server: " << problem << "\n" << kUsage;
    std::exit(2);
}

unsigned long long Number(const std::string& option, const char* text, unsigned long long low, unsigned long long high,
                          bool suffix = false) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    int shift = 0;
    if (suffix && end != text && *end != '\0' && end[1] == '\0') {
        const char* units = "KMG";
        if (const char* unit = std::strchr(units, *end); unit != nullptr && *unit != '\0') {
            shift = 10 * static_cast<int>(unit - units + 1);
            ++end;
        }
    }
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > (high >> shift) ||
        (value << shift) < low) {
        Usage(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
              text + "'");
    }
    return value << shift;
}

// One line per write, so that lines of several processes and threads never mix.
void LogLine(const std::string& line) {
    std::string text = "veltrix-server: " + line + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

int Cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

int workerNumber = 0;

// In a worker, an exit() the interpreter could not turn into an exception (POSIX::exit, CORE::exit, a library):
// the worker ends without running the process's destructors under its connection threads.
void WorkerExit(int status, void*) {
    LogLine("worker " + std::to_string(workerNumber) + " (pid " + std::to_string(::getpid()) + "): exit(" +
            std::to_string(status) + ") was called while serving; the worker ends");
    Server::EndProcess(status);
}

}  // namespace

int main(int argc, char** argv) {
    Server::ServerConfig config;
    config.log = LogLine;
    Server::HostOptions hostOptions;
    hostOptions.log = LogLine;
    Server::SupervisorConfig supervision;
    supervision.workers = Cores();
    supervision.callTimeout = std::chrono::milliseconds(300000);
    supervision.log = LogLine;
    std::vector<std::string> preload;
    bool insecure = false, restricted = false;
    std::string product;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (option == "--version") {
            std::cout << "veltrix-server " VELTRIX_VERSION " (Perl " VELTRIX_PERL_VERSION ")\n";
            return 0;
        }
        if (option == "--tls" || option == "--insecure" || option == "--allow-eval") {
            if (option == "--tls") config.tls = true;
            if (option == "--insecure") insecure = true;
            if (option == "--allow-eval") hostOptions.policy.AllowEval();
            continue;
        }
        if (i + 1 >= argc) Usage("unknown option or missing value: " + option);
        const char* value = argv[++i];
        if (option == "--listen")
            config.listenAddress = value;
        else if (option == "--port")
            config.port = static_cast<unsigned short>(Number(option, value, 0, 65535));
        else if (option == "--cert")
            config.tlsFiles.certFile = value;
        else if (option == "--key")
            config.tlsFiles.keyFile = value;
        else if (option == "--client-ca")
            config.tlsFiles.clientCaFile = value;
        else if (option == "--product")
            product = value;
        else if (option == "--workers")
            supervision.workers = static_cast<int>(Number(option, value, 1, Server::WorkerTable::kMaxWorkers));
        else if (option == "--preload")
            preload.emplace_back(value);
        else if (option == "--allow") {
            hostOptions.policy.Allow(value);
            restricted = true;
        } else if (option == "--call-timeout-ms")
            supervision.callTimeout = std::chrono::milliseconds(Number(option, value, 0, 86400000));
        else if (option == "--drain-timeout-ms")
            supervision.drainTimeout = std::chrono::milliseconds(Number(option, value, 0, 86400000));
        else if (option == "--max-frame-bytes")
            config.maxFrameBytes =
                static_cast<std::uint32_t>(Number(option, value, Limits::HeaderLength, Limits::LargestMessageBytes));
        else if (option == "--max-bytes-in-flight")
            config.maxBytesInFlight = Number(option, value, 1 << 20, 1ull << 40);
        else if (option == "--max-worker-rss")
            hostOptions.maxResidentBytes = Number(option, value, 1 << 20, 1ull << 46, true);
        else if (option == "--idle-timeout-ms")
            config.idleTimeout = std::chrono::milliseconds(Number(option, value, 1, 86400000));
        else if (option == "--io-timeout-ms")
            config.ioTimeout = std::chrono::milliseconds(Number(option, value, 1, 86400000));
        else if (option == "--max-connections")
            config.maxConnections = static_cast<int>(Number(option, value, 1, 100000));
        else
            Usage("unknown option " + option);
    }
    if (config.tls && (config.tlsFiles.certFile.empty() || config.tlsFiles.keyFile.empty())) {
        Usage("--tls needs --cert and --key");
    }
    if (!config.tls && (!config.tlsFiles.certFile.empty() || !config.tlsFiles.clientCaFile.empty())) {
        Usage("--cert, --key and --client-ca need --tls");
    }
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(config.listenAddress, ec);
    bool exposed = !ec && !address.is_loopback();
    if (exposed && !config.tls && !insecure) {
        Usage("plain TCP on " + config.listenAddress +
              " lets anyone who reaches it run Perl code: use --tls (with --client-ca to authenticate clients), or "
              "--insecure to accept that");
    }
    config.callTimeout = supervision.callTimeout;
    supervision.maxConnections = config.maxConnections;

    // Signals arrive through a descriptor that the supervisor watches; workers set up their own.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::cerr << "veltrix-server: signalfd: " << std::strerror(errno) << "\n";
        return 1;
    }

    try {
        Server::SharedWorkerTable table;
        hostOptions.retire = [&](std::uint64_t resident) {
            LogLine("worker " + std::to_string(workerNumber) + " (pid " + std::to_string(::getpid()) +
                    "): resident memory of " + std::to_string(resident >> 20) + " MiB passed --max-worker-rss (" +
                    std::to_string(hostOptions.maxResidentBytes >> 20) + " MiB); the worker ends between commands");
            Server::EndProcess(Server::kWorkerMemoryStatus);
        };
        if (product.empty()) product = VeltrixNS::HostClient::PerlClient::DefaultProductDir().string();
        Server::RuntimeHost host(product, hostOptions);
        host.Start(preload);
        Server::RuntimeServer listener(config, host);
        unsigned short port = listener.Listen();
        std::cout << "listening on " << config.listenAddress << ":" << port << (config.tls ? " (TLS)" : " (TCP)")
                  << std::endl;
        if (config.tls && config.tlsFiles.clientCaFile.empty())
            LogLine(
                "warning: TLS without --client-ca: clients are not authenticated, anyone who reaches the port "
                "may call");
        if (exposed && !restricted)
            LogLine("warning: no --allow: callers may load and call any Perl code, shell commands included");

        pid_t supervisor = ::getpid();
        Server::Supervisor workers(supervision, listener, *table, [&](int worker, int control) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != supervisor) return 0;
            listener.CloseListener();
            ::close(signalFd);
            sigset_t stop;
            sigemptyset(&stop);
            sigaddset(&stop, SIGTERM);
            int stopFd = signalfd(-1, &stop, SFD_CLOEXEC);
            sigset_t others;
            sigemptyset(&others);
            sigaddset(&others, SIGCHLD);
            sigaddset(&others, SIGINT);
            signal(SIGINT, SIG_IGN);  // the supervisor decides, and sends SIGTERM
            pthread_sigmask(SIG_UNBLOCK, &others, nullptr);
            workerNumber = worker + 1;
            ::on_exit(WorkerExit, nullptr);
            host.AttachSlot(&table->slots[worker]);
            Server::ServerConfig own = config;
            own.slot = &table->slots[worker];
            own.workerName = "worker " + std::to_string(workerNumber);
            own.bytesInFlight = &table->bytesInFlight;
            own.onCallTimeout = [](int) { Server::EndProcess(Server::kWorkerCallTimeoutStatus); };
            Server::RuntimeServer server(own, host);
            server.ServeHandedOver(control, stopFd);
            return 0;
        });
        workers.Run(signalFd);
        LogLine("stopped");
    } catch (const std::exception& error) {
        std::cerr << "veltrix-server: " << error.what() << "\n";
        close(signalFd);
        return 1;
    }
    close(signalFd);
    return 0;
}
