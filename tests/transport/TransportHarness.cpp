// TransportHarness.cpp: the test-only library that reaches into the core's transmitter and transports.
#include "TransportHarness.h"

#include "LibrariesFinder/LibrariesFinder.h"
#include "PerlNativeTransmitter.h"
#include "Transmitter/NativeTransmitter.h"
#include "Transport/TransportInMemory.h"
#include "Transport/TransportNetwork.h"

using transport_harness::ITransmitter;
using transport_harness::ITransport;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Transport::TransportInMemory;
using VeltrixNS::Native::Transport::TransportNetwork;
using VeltrixNS::Runtimes::Perl::Native::Transmitter::PerlNativeTransmitter;

namespace VeltrixNS::Native::Transmitter {

struct NativeTransmitterProbe {
    static NativeTransmitter& Of(ITransmitter* transmitter) { return dynamic_cast<NativeTransmitter&>(*transmitter); }

    static std::vector<std::string> Keys(ITransmitter* transmitter) {
        std::vector<std::string> keys;
        for (const auto& entry : Of(transmitter).transportNetworkChannelsMap) keys.push_back(entry.first);
        return keys;
    }

    static ITransport* InMemory(ITransmitter* transmitter) { return Of(transmitter).inMemoryTransportChannel.get(); }

    static ITransport* Network(ITransmitter* transmitter, const std::string& key) {
        auto& map = Of(transmitter).transportNetworkChannelsMap;
        auto found = map.find(key);
        return found == map.end() ? nullptr : found->second.get();
    }
};

}  // namespace VeltrixNS::Native::Transmitter

namespace VeltrixNS::Native::Transport {

struct TransportInMemoryProbe {
    static TransportInMemory& Of(ITransport* transport) { return dynamic_cast<TransportInMemory&>(*transport); }

    static transport_harness::InMemoryState State(ITransport* transport) {
        TransportInMemory& memory = Of(transport);
        transport_harness::InMemoryState state{};
        state.callingRuntimeNumber = memory.callingRuntimeNumber_;
        state.calledRuntimeNumber = memory.calledRuntimeNumber_;
        state.calledRuntimeVersion = memory.calledRuntimeVersion_;
        for (int runtime = 0; runtime < 11; ++runtime) {
            state.libraryLoaded[runtime] = memory.libraryHandles.at(runtime) != nullptr;
            state.receiverStored[runtime] = memory.receivers.at(runtime) != nullptr;
            state.transmitterStored[runtime] = memory.transmitters.at(runtime) != nullptr;
        }
        state.currentReceiverSet = memory.currentReceiver != nullptr;
        return state;
    }

    static void HeartBeatToCalled(ITransport* transport) { Of(transport).SendHeartBeatToCalledRuntime(); }
    static void HeartBeatToCalling(ITransport* transport) { Of(transport).SendHeartBeatToCallingRuntime(); }
};

}  // namespace VeltrixNS::Native::Transport

namespace {

using VeltrixNS::Native::Transmitter::NativeTransmitterProbe;
using VeltrixNS::Native::Transport::TransportInMemoryProbe;

const transport_harness::Api api{
    [](int mode) -> transport_harness::ITransmitter* {
        return new PerlNativeTransmitter(static_cast<RuntimeOperationMode>(mode));
    },
    &NativeTransmitterProbe::Keys,
    [](transport_harness::ITransmitter* transmitter) {
        return NativeTransmitterProbe::Of(transmitter).transportChannel.get();
    },
    &NativeTransmitterProbe::InMemory,
    &NativeTransmitterProbe::Network,
    []() -> transport_harness::ITransport* { return new TransportInMemory(); },
    [](std::string ipAddress, unsigned short port, bool useTls) -> transport_harness::ITransport* {
        return new TransportNetwork(std::move(ipAddress), port, useTls);
    },
    &TransportInMemoryProbe::State,
    &TransportInMemoryProbe::HeartBeatToCalled,
    &TransportInMemoryProbe::HeartBeatToCalling,
    []() { return VeltrixNS::Native::LibrariesFinder::LibrariesFinder::getThisLibraryPath(); },
};

}  // namespace

VELTRIX_EXPORT const transport_harness::Api* TransportHarness() {
    return &api;
}
