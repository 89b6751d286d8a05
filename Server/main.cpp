// main.cpp: veltrix-server, a program that hosts the Perl runtime for remote callers over TCP or TLS.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Definitions/limits.h"
#include "RuntimeHost.h"
#include "RuntimeServer.h"

namespace {

namespace Limits = VeltrixNS::Native::Definitions::Limits;

const char* const kUsage =
    "usage: veltrix-server [options]\n"
    "  --listen ADDRESS          address to listen on (default 127.0.0.1)\n"
    "  --port N                  TCP port (default 8090; 0 picks a free port)\n"
    "  --tls                     serve TLS 1.2 or later; needs --cert and --key\n"
    "  --cert FILE               server certificate chain (PEM)\n"
    "  --key FILE                server private key (PEM)\n"
    "  --client-ca FILE          require client certificates issued by this CA (PEM)\n"
    "  --product DIR             product root holding Binaries/ (default: the staged build product)\n"
    "  --max-frame-bytes N       largest accepted command (default 67108864)\n"
    "  --idle-timeout-ms N       close connections idle for this long (default 60000)\n"
    "  --io-timeout-ms N         time allowed to finish a started frame, a handshake or a write (default 10000)\n"
    "  --max-connections N       connections served at once (default 256)\n"
    "The first line on standard output is \"listening on ADDRESS:PORT\"; one line per connection goes to\n"
    "standard error. SIGINT or SIGTERM stop the server.\n";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "veltrix-server: " << problem << "\n" << kUsage;
    std::exit(2);
}

unsigned long Number(const std::string& option, const char* text, unsigned long low, unsigned long high) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value < low || value > high) {
        Usage(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
              text + "'");
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    VeltrixNS::Server::ServerConfig config;
    std::string product = VELTRIX_DEFAULT_PRODUCT_DIR;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (option == "--tls") {
            config.tls = true;
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
        else if (option == "--max-frame-bytes")
            config.maxFrameBytes =
                static_cast<std::uint32_t>(Number(option, value, Limits::HeaderLength, Limits::LargestMessageBytes));
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

    // Signals arrive through a descriptor that the accept loop watches; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::cerr << "veltrix-server: signalfd: " << std::strerror(errno) << "\n";
        return 1;
    }

    try {
        VeltrixNS::Server::RuntimeHost host(product);
        VeltrixNS::Server::RuntimeServer server(config, host);
        unsigned short port = server.Listen();
        std::cout << "listening on " << config.listenAddress << ":" << port << (config.tls ? " (TLS)" : " (TCP)")
                  << std::endl;
        server.Run(stopFd);
        std::cerr << "veltrix-server: stopped\n";
    } catch (const std::exception& error) {
        std::cerr << "veltrix-server: " << error.what() << "\n";
        close(stopFd);
        return 1;
    }
    close(stopFd);
    return 0;
}
