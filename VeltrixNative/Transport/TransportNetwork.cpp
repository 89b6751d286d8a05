// TransportNetwork.cpp: forwards commands to the channel object made by the TCP or TLS client library.
#include "Transport/TransportNetwork.h"

#include "Exception/Raise.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Platform/SharedLibrary.h"

namespace VeltrixNS::Native::Transport {

using VeltrixNS::Native::Interfaces::ITransport;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

namespace {

[[noreturn]] void RaiseReinstall(const char* code) {
    Exception::RaiseCore(code, "Reinstall Veltrix package");
}

}  // namespace

TransportNetwork::TransportNetwork(std::string ipAddress, unsigned short port, bool useTls)
    : tcpClientLibraryInstance(nullptr),
      tcpTlsClientLibraryInstance(nullptr),
      CreateTransportChannel_fn(nullptr),
      ipAddress_(std::move(ipAddress)),
      port_(port),
      useTls_(useTls) {}

// The channels are new objects of the client library, deleted through their virtual destructor; the
// library itself stays loaded in LibrariesFinder's process-wide cache, so their code is still there.
TransportNetwork::~TransportNetwork() {
    transportChannel.reset();
    transportTcpChannel.reset();
    transportTcpTlsChannel.reset();
}

int TransportNetwork::Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) {
    if (useTls_) {
        ImportTcpTlsClientLibrary();
        CreateTransportTcpTlsChannel(callingRuntimeNumber, calledRuntimeNumber, calledRuntimeVersion);
        transportChannel = transportTcpTlsChannel;
    } else {
        ImportTcpClientLibrary();
        CreateTransportTcpChannel(callingRuntimeNumber, calledRuntimeNumber, calledRuntimeVersion);
        transportChannel = transportTcpChannel;
    }
    if (!transportChannel) RaiseReinstall("013");
    return 0;
}

int TransportNetwork::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    return ChannelInUse().SendCommand(messageByteArray, messageByteArrayLen);
}

int TransportNetwork::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    return ChannelInUse().ReadResponse(responseByteArray, responseByteArrayLen);
}

int TransportNetwork::SetEmbeddedRuntime(byte, byte, byte, std::string) {
    return 0;
}

int TransportNetwork::DeployRuntime(byte*, int32_t, std::string, byte) {
    return 0;
}

bool TransportNetwork::ImportTcpClientLibrary() {
    if (tcpClientLibraryInstance == nullptr) {
        tcpClientLibraryInstance = LibrariesFinder::loadVeltrixTcpClientLibrary(true);
    }
    return tcpClientLibraryInstance != nullptr;
}

bool TransportNetwork::ImportTcpTlsClientLibrary() {
    if (tcpTlsClientLibraryInstance == nullptr) {
        tcpTlsClientLibraryInstance = LibrariesFinder::loadVeltrixTcpTlsClientLibrary(true);
    }
    return tcpTlsClientLibraryInstance != nullptr;
}

bool TransportNetwork::CreateTransportTcpChannel(byte callingRuntimeNumber, byte calledRuntimeNumber,
                                                 byte calledRuntimeVersion) {
    return CreateChannel(tcpClientLibraryInstance, transportTcpChannel, callingRuntimeNumber, calledRuntimeNumber,
                         calledRuntimeVersion);
}

bool TransportNetwork::CreateTransportTcpTlsChannel(byte callingRuntimeNumber, byte calledRuntimeNumber,
                                                    byte calledRuntimeVersion) {
    return CreateChannel(tcpTlsClientLibraryInstance, transportTcpTlsChannel, callingRuntimeNumber, calledRuntimeNumber,
                         calledRuntimeVersion);
}

bool TransportNetwork::CreateChannel(HINSTANCE library, std::shared_ptr<ITransport>& channel, byte callingRuntimeNumber,
                                     byte calledRuntimeNumber, byte calledRuntimeVersion) {
    // Made and initialised once per transport, with the runtime numbers of the first command.
    if (channel) return true;
    CreateTransportChannel_fn =
        Platform::GetExport<CreateTransportChannelFuncPointer>(library, "CreateTransportChannel");
    if (CreateTransportChannel_fn == nullptr) RaiseReinstall("011");
    channel.reset(CreateTransportChannel_fn(ipAddress_, port_));
    if (!channel) RaiseReinstall("012");
    channel->Initialize(callingRuntimeNumber, calledRuntimeNumber, calledRuntimeVersion);
    return true;
}

ITransport& TransportNetwork::ChannelInUse() {
    if (!transportChannel) RaiseReinstall("013");
    return *transportChannel;
}

}  // namespace VeltrixNS::Native::Transport
