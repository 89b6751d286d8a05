// VeltrixTcpClient.cpp: the export of VeltrixTcpClient.dll, a channel to a runtime server over plain TCP.
#include "NetworkChannel.h"

using VeltrixNS::Native::Interfaces::ITransport;

// Ownership passes to the caller, which deletes the channel through its virtual destructor.
VELTRIX_EXPORT ITransport* CreateTransportChannel(std::string ipAddress, unsigned short port) {
    try {
        return new VeltrixNS::Native::TcpClient::NetworkChannel("VeltrixTcpClient", std::move(ipAddress), port,
                                                                VeltrixNS::Native::TcpClient::MakeTcpConnection());
    } catch (const std::exception&) {
        return nullptr;
    }
}
