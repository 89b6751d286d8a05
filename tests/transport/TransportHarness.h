// TransportHarness.h: what the test-only library (the core's transmitter and transports) offers the tests.
//
// The library links the core and is copied into a throw-away product tree beside the stand-ins, so the
// transports find their sibling libraries exactly as the bridge does: in the directory of the library
// holding the code. Objects it hands out are deleted by the test through their virtual destructor.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "ITransmitter.h"
#include "ITransport.h"
#include "_common.h"

namespace transport_harness {

using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::Interfaces::ITransport;

// What a TransportInMemory holds, by runtime number 0 to 10.
struct InMemoryState {
    int callingRuntimeNumber;
    int calledRuntimeNumber;
    int calledRuntimeVersion;
    std::array<bool, 11> libraryLoaded;
    std::array<bool, 11> receiverStored;
    std::array<bool, 11> transmitterStored;
    bool currentReceiverSet;
};

struct Api {
    // A PerlNativeTransmitter in the given operation mode.
    ITransmitter* (*NewTransmitter)(int operationMode);
    // Keys of the transmitter's network channel cache, in order.
    std::vector<std::string> (*NetworkChannelKeys)(ITransmitter*);
    // The transmitter's channel of the latest command and its in-memory transport (null when none).
    ITransport* (*CurrentChannel)(ITransmitter*);
    ITransport* (*InMemoryChannel)(ITransmitter*);
    ITransport* (*NetworkChannel)(ITransmitter*, const std::string& key);

    ITransport* (*NewInMemoryTransport)();
    ITransport* (*NewNetworkTransport)(std::string ipAddress, unsigned short port, bool useTls);
    InMemoryState (*InMemoryStateOf)(ITransport*);
    void (*SendHeartBeatToCalledRuntime)(ITransport*);
    void (*SendHeartBeatToCallingRuntime)(ITransport*);

    // The directory the core takes as this library's own.
    std::string (*ThisLibraryPath)();
};

}  // namespace transport_harness

// The one export of the test library.
using TransportHarnessFn = const transport_harness::Api* (*)();
