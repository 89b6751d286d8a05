// TransportFakes.h: other runtimes' libraries and the TCP and TLS client libraries as in-process fakes,
// registered with the fake loader under the paths the transports look for. Every call they get is one line
// of Calls, prefixed with who got it ("Clr: Initialize(4,0,3)", "tcp#1: ReadResponse(11)").
#pragma once
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "Definitions/runtimeOperationMode.h"
#include "FakeLibraries.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"

namespace transport_test {

using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::Interfaces::ITransport;
using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
using veltrix::test::AsExport;

inline std::string Calls;
inline int ChannelsMade = 0;
inline int NullChannelsToGo = 0;

template <typename... Args>
void Record(const std::string& who, const std::string& call, Args... numbers) {
    std::string text;
    ((text += (text.empty() ? "" : ",") + std::to_string(static_cast<int>(numbers))), ...);
    Calls += who + ": " + call + "(" + text + ")\n";
}

// What the other side throws for a command whose body starts with 0xEE.
struct FakeFailure : std::exception {};

// Keeps each command and answers with it, its command type set to 0 (Value).
struct Echo {
    int Send(byte* message, int32_t length) {
        Record(name, "SendCommand", length);
        if (length > 11 && message[11] == 0xEE) throw FakeFailure();
        last.assign(message, message + length);
        return length;
    }
    int Read(byte* buffer, int32_t length) {
        Record(name, "ReadResponse", length);
        auto count = std::min<size_t>(last.size(), static_cast<size_t>(std::max(length, 0)));
        std::copy_n(last.begin(), count, buffer);
        if (count > 10) buffer[10] = 0;
        return static_cast<int>(count);
    }
    std::string name;
    std::vector<byte> last;  // the latest command
};

// A runtime's library: its receiver and transmitter are singletons, as a real library keeps them.
struct FakeRuntime final : IReceiver, Echo {
    struct Transmitter final : ITransmitter {
        std::string name;
        int SendCommand(byte*, int32_t) override { return 0; }
        int ReadResponse(byte*, int32_t) override { return 0; }
        void SetTransportChannel(ITransport*) override {}
        int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
        int DeployRuntime(byte*, int32_t length, std::string path, byte channel) override {
            Record(name, "DeployRuntime:" + path, length, channel);
            return 70 + channel;
        }
    } transmitter;
    bool nullReceiver = false;
    bool nullTransmitter = false;

    void SetConfigSource(std::string) override {}
    int Initialize(byte a, byte b, byte c) override {
        Record(name, "Initialize", a, b, c);
        return 5;  // a result callers must not rely on
    }
    int SendCommand(byte* message, int32_t length) override { return Send(message, length); }
    int ReadResponse(byte* buffer, int32_t length) override { return Read(buffer, length); }
    void LogException(byte*, int32_t) override {}
    int LoadOptimizedMethod(std::string) override { return 0; }
    int SetEmbeddedRuntime(byte version, std::string path) override {
        Record(name, "SetEmbeddedRuntime:" + path, version);
        return 40 + version;
    }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }
};
inline std::array<FakeRuntime, 11> Runtimes;

template <int N>
IReceiver* CreateReceiver(RuntimeOperationMode mode) {
    Record(Runtimes[N].name, "CreateReceiver", mode);
    return Runtimes[N].nullReceiver ? nullptr : &Runtimes[N];
}
template <int N>
ITransmitter* CreateTransmitter(RuntimeOperationMode mode) {
    Record(Runtimes[N].name, "CreateTransmitter", mode);
    return Runtimes[N].nullTransmitter ? nullptr : &Runtimes[N].transmitter;
}

// Runtime N's library beside the core, fresh; a false flag leaves that export out.
template <int N>
void AddRuntime(veltrix::test::FakeLibraries& fakes, bool withReceiver = true, bool withTransmitter = true) {
    Runtimes[N] = FakeRuntime();
    Runtimes[N].name = Runtimes[N].transmitter.name =
        VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler::GetRuntimeName(N);
    fakes.Add(Finder::getRuntimeLibraryPath(N),
              {{"CreateReceiver", withReceiver ? AsExport(&CreateReceiver<N>) : nullptr},
               {"CreateTransmitter", withTransmitter ? AsExport(&CreateTransmitter<N>) : nullptr}});
}

// A channel made by a client library, named by kind and creation number ("tcp#1").
struct FakeChannel final : ITransport, Echo {
    explicit FakeChannel(std::string kind) { name = kind + "#" + std::to_string(++ChannelsMade); }
    ~FakeChannel() override { Record(name, "Destroyed"); }
    int Initialize(byte a, byte b, byte c) override {
        Record(name, "Initialize", a, b, c);
        return 5;
    }
    int SendCommand(byte* message, int32_t length) override { return Send(message, length); }
    int ReadResponse(byte* buffer, int32_t length) override { return Read(buffer, length); }
    int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }
};

template <bool Tls>
ITransport* CreateTransportChannel(std::string address, unsigned short port) {
    Record(Tls ? "tls" : "tcp", "CreateTransportChannel:" + address, port);
    if (NullChannelsToGo > 0 && NullChannelsToGo-- > 0) return nullptr;
    return new FakeChannel(Tls ? "tls" : "tcp");
}

inline std::string TcpClientPath() {
    return Finder::pathToDir + "VeltrixTcpClient.dll";
}

// The client libraries, the OpenSSL pair they preload (under the second path: no such file lies beside the
// program) and a quiet Utils.dll for the records of raised exceptions.
inline void AddClientLibraries(veltrix::test::FakeLibraries& fakes) {
    for (const char* openSsl : {"libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
        fakes.Add(Finder::pathToDir + Finder::nativeDirectoryRelativePath + openSsl);
    }
    fakes.Add(TcpClientPath(), {{"CreateTransportChannel", AsExport(&CreateTransportChannel<false>)}});
    fakes.Add(Finder::pathToDir + "VeltrixTcpTlsClient.dll",
              {{"CreateTransportChannel", AsExport(&CreateTransportChannel<true>)}});
    using Text = std::string (*)();
    fakes.Add(Finder::pathToDir + "Utils.dll",
              {{"GetLoggingLevel", AsExport(static_cast<Text>([] { return std::string("off"); }))},
               {"GetWorkingDirectory", AsExport(static_cast<Text>([] { return std::string("/nonexistent"); }))}});
}

}  // namespace transport_test
