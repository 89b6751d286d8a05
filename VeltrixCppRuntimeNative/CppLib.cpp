// CppLib.cpp: the exports of VeltrixCppRuntimeNative.dll: the receiver and the transmitter that another runtime's
// in-memory transport asks for, and the registration of host functions by the host process.
#include "CppNativeReceiver.h"
#include "Definitions/runtimeOperationMode.h"
#include "HostFunctionRegistry.h"

using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using namespace VeltrixNS::Runtimes::Cpp::Native;

// One receiver and one transmitter for the process, whatever the role asked for (the host process is the C++
// runtime in any role). They belong to this library: callers never delete them.
VELTRIX_EXPORT IReceiver* CreateReceiver(RuntimeOperationMode) {
    static ProcessLifetime<CppNativeReceiver> receiver;
    return &receiver.value;
}

VELTRIX_EXPORT ITransmitter* CreateTransmitter(RuntimeOperationMode) {
    static ProcessLifetime<CppNativeTransmitter> transmitter;
    return &transmitter.value;
}

VELTRIX_EXPORT uint64_t RegisterHostFunction(const char* name, VeltrixNS::HostClient::HostFunction* function) {
    return HostFunctionRegistry::Instance().Register(name, function);
}

VELTRIX_EXPORT int ReleaseHostFunction(uint64_t id) {
    uint64_t unknown = 0;
    return HostFunctionRegistry::Instance().Release({&id, 1}, unknown) ? 1 : 0;
}
