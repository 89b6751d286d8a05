// PerlLauncher_CAPI.h: the eight exported functions that create and drive an embedded Perl launcher.
#pragma once
#include "Definitions/runtimeOperationMode.h"
#include "_common.h"

typedef void* VeltrixPerlLauncherHandle;

using VeltrixNS::Native::Definitions::RuntimeOperationMode;

VELTRIX_EXPORT VeltrixPerlLauncherHandle CreatePerlLauncherInstance(RuntimeOperationMode opMode);
VELTRIX_EXPORT void DestroyPerlLauncherInstance(VeltrixPerlLauncherHandle handle);
VELTRIX_EXPORT void PerlLauncherInitialize(VeltrixPerlLauncherHandle handle, byte calledRuntimeVersion);
VELTRIX_EXPORT int PerlLauncherSendCommand(VeltrixPerlLauncherHandle handle, byte* messageByteArray,
                                           int32_t messageByteArrayLen);
VELTRIX_EXPORT int PerlLauncherReadResponse(VeltrixPerlLauncherHandle handle, byte* responseByteArray,
                                            int32_t responseByteArrayLen);
VELTRIX_EXPORT const char* PerlLauncherGetRuntimeInfo(VeltrixPerlLauncherHandle handle);
VELTRIX_EXPORT bool PerlLauncherIsInitialized(VeltrixPerlLauncherHandle handle);
VELTRIX_EXPORT void PerlLauncherSetInitialized(VeltrixPerlLauncherHandle handle);
