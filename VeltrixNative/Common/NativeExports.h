// NativeExports.h: the bridge functions every runtime's native library exports under these plain names.
#pragma once
#include "Definitions/runtimeOperationMode.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "_common.h"

using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;

// Incoming direction and configuration.
VELTRIX_EXPORT IReceiver* CreateReceiver(RuntimeOperationMode opMode);
VELTRIX_EXPORT IReceiver* GetReceiver();
VELTRIX_EXPORT int SetConfigSource(const char* source);
VELTRIX_EXPORT int SetWorkingDirectory(const char* path);
VELTRIX_EXPORT const char* GetNativeError();

// Outgoing direction.
VELTRIX_EXPORT ITransmitter* CreateTransmitter(RuntimeOperationMode opMode);
VELTRIX_EXPORT ITransmitter* GetTransmitter();
VELTRIX_EXPORT int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen);
VELTRIX_EXPORT int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen);
VELTRIX_EXPORT int SetEmbeddedRuntime(byte callingRuntimeNumer, byte calledRuntimeNumber, byte calledRuntimeVersion,
                                      const char* path);
VELTRIX_EXPORT int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, const char* path, byte channel);

// Signatures for callers that resolve the exports at run time.
using CreateReceiverFn = IReceiver* (*)(RuntimeOperationMode);
using CreateTransmitterFn = ITransmitter* (*)(RuntimeOperationMode);
using SendCommandFn = int (*)(byte*, int32_t);
using ReadResponseFn = int (*)(byte*, int32_t);
using SetConfigSourceFn = int (*)(const char*);
using SetWorkingDirectoryFn = int (*)(const char*);
using GetNativeErrorFn = const char* (*)();
using SetEmbeddedRuntimeFn = int (*)(byte, byte, byte, const char*);
using DeployRuntimeFn = int (*)(byte*, int32_t, const char*, byte);
