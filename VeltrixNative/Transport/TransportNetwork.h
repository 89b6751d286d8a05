// TransportNetwork.h: carries commands to a remote runtime through the channel of the TCP or TLS client library.
#pragma once
#include <memory>
#include <string>

#include "ITransport.h"
#include "Platform/WinApi.h"
#include "_common.h"

namespace VeltrixNS::Native::Transport {

using CreateTransportChannelFuncPointer = VeltrixNS::Native::Interfaces::ITransport* (*)(std::string, unsigned short);

class TransportNetwork : public VeltrixNS::Native::Interfaces::ITransport {
public:
    TransportNetwork(std::string ipAddress, unsigned short port, bool useTls = false);
    ~TransportNetwork() override;
    TransportNetwork(const TransportNetwork&) = delete;
    TransportNetwork& operator=(const TransportNetwork&) = delete;

    int Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                           std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;

private:
    bool ImportTcpClientLibrary();
    bool ImportTcpTlsClientLibrary();
    bool CreateTransportTcpChannel(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion);
    bool CreateTransportTcpTlsChannel(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion);
    // Shared by both creation steps: resolve the export, make the channel, initialise it once.
    bool CreateChannel(HINSTANCE library, std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport>& channel,
                       byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion);
    // The channel in use; raises code 013 when Initialize has not set one.
    VeltrixNS::Native::Interfaces::ITransport& ChannelInUse();

    HINSTANCE tcpClientLibraryInstance;
    HINSTANCE tcpTlsClientLibraryInstance;
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> transportTcpChannel;
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> transportTcpTlsChannel;
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> transportChannel;
    CreateTransportChannelFuncPointer CreateTransportChannel_fn;
    std::string ipAddress_;
    unsigned short port_;
    bool useTls_;
};

}  // namespace VeltrixNS::Native::Transport
