/* Native.xs: Veltrix::Bridge::Native, the Perl door to the bridge library's exported functions. */
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

#include <dlfcn.h>
#include <stdint.h>

typedef unsigned char byte;

typedef int (*SendCommandFn)(byte*, int32_t);
typedef int (*ReadResponseFn)(byte*, int32_t);
typedef int (*SetEmbeddedRuntimeFn)(byte, byte, byte, const char*);
typedef int (*DeployRuntimeFn)(byte*, int32_t, const char*, byte);
typedef int (*SetConfigSourceFn)(const char*);
typedef int (*SetWorkingDirectoryFn)(const char*);
typedef const char* (*GetNativeErrorFn)(void);

/* One bridge per process: the handle and the exports are shared by every interpreter and thread.
 * The library is never closed, like every sibling library of the product. */
static void* bridgeHandle;
static SendCommandFn SendCommand_Fn;
static ReadResponseFn ReadResponse_Fn;
static SetEmbeddedRuntimeFn SetEmbeddedRuntime_Fn;
static DeployRuntimeFn DeployRuntime_Fn;
static SetConfigSourceFn SetConfigSource_Fn;
static SetWorkingDirectoryFn SetWorkingDirectory_Fn;
static GetNativeErrorFn GetNativeError_Fn;

#define NATIVE_ERROR_CLASS "Veltrix::Bridge::NativeError"

/* Dies with a Veltrix::Bridge::NativeError object: a die with a plain string would have Perl append
 * " at FILE line N." to the text, and callers compare the native text byte for byte. */
static void die_native(pTHX_ const char* function, int result, SV* text) {
    HV* fields = newHV();
    SV* error;
    (void)hv_stores(fields, "function", newSVpv(function, 0));
    (void)hv_stores(fields, "result", newSViv(result));
    (void)hv_stores(fields, "text", text);
    error = sv_bless(newRV_noinc((SV*)fields), gv_stashpvs(NATIVE_ERROR_CLASS, GV_ADD));
    croak_sv(sv_2mortal(error));
}

/* A negative result of an export: the text is GetNativeError's, copied before anything else can fail. */
static void die_with_native_error(pTHX_ const char* function, int result) {
    const char* text = GetNativeError_Fn();
    die_native(aTHX_ function, result, newSVpv(text != NULL ? text : "", 0));
}

/* The exports tell failure from success only by their own failure value; any other result is the
 * other side's and passes through. */
static void check_result(pTHX_ const char* function, int result, int failure) {
    if (result == failure) die_with_native_error(aTHX_ function, result);
}

/* A runtime number, version or channel byte; a value outside 0..255 is refused, not truncated. */
static byte to_byte(pTHX_ IV value, const char* what) {
    if (value < 0 || value > 255) die_native(aTHX_ what, -1, newSVpvf("%s out of range: %" IVdf, what, value));
    return (byte)value;
}

/* The first call loads the bridge of the module's product tree (Veltrix::Bridge::Native::load); a load
 * failure dies from there with its NativeError. Loading at "use" instead would have require turn the
 * error object into text. */
static void require_bridge(pTHX) {
    if (bridgeHandle != NULL) return;
    {
        dSP;
        PUSHMARK(SP);
        call_pv("Veltrix::Bridge::Native::load", G_DISCARD | G_NOARGS);
    }
    if (bridgeHandle == NULL) die_native(aTHX_ "load", -1, newSVpvs("The bridge library is not loaded"));
}

/* The bytes of a Perl string as the exports take them; wide characters are refused by SvPVbyte. */
static byte* message_bytes(pTHX_ SV* message, int32_t* length, const char* function) {
    STRLEN len;
    char* data = SvPVbyte(message, len);
    if (len > (STRLEN)INT32_MAX) die_native(aTHX_ function, -1, newSVpvs("Command message is too long"));
    *length = (int32_t)len;
    return (byte*)data;
}

static void* resolve(pTHX_ void* handle, const char* name, const char* path) {
    void* symbol;
    dlerror();
    symbol = dlsym(handle, name);
    if (symbol == NULL) {
        const char* reason = dlerror();
        die_native(aTHX_ "load", -1,
                   newSVpvf("Cannot find %s in %s: %s", name, path, reason != NULL ? reason : "null symbol"));
    }
    return symbol;
}

MODULE = Veltrix::Bridge::Native    PACKAGE = Veltrix::Bridge::Native    PREFIX = vbn_

PROTOTYPES: DISABLE

# Loads the bridge (or finds it already loaded by the host) and resolves the exports. Returns the handle.
UV
vbn_load_library(path)
        const char* path
    PREINIT:
        void* handle;
    CODE:
        /* A library already in the process under this file (the bridge hosting this interpreter)
         * comes back as the same module: the loader matches the name or the file's identity. */
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == NULL) {
            const char* reason = dlerror();
            die_native(aTHX_ "load", -1, newSVpvf("Cannot load: %s. \nError: %s", path,
                                                 reason != NULL ? reason : "unknown"));
        }
        if (bridgeHandle != NULL && bridgeHandle != handle) {
            dlclose(handle);
            die_native(aTHX_ "load", -1, newSVpvs("Another bridge library is already loaded"));
        }
        if (bridgeHandle == NULL) {
            SendCommand_Fn = (SendCommandFn)resolve(aTHX_ handle, "SendCommand", path);
            ReadResponse_Fn = (ReadResponseFn)resolve(aTHX_ handle, "ReadResponse", path);
            SetEmbeddedRuntime_Fn = (SetEmbeddedRuntimeFn)resolve(aTHX_ handle, "SetEmbeddedRuntime", path);
            DeployRuntime_Fn = (DeployRuntimeFn)resolve(aTHX_ handle, "DeployRuntime", path);
            SetConfigSource_Fn = (SetConfigSourceFn)resolve(aTHX_ handle, "SetConfigSource", path);
            SetWorkingDirectory_Fn = (SetWorkingDirectoryFn)resolve(aTHX_ handle, "SetWorkingDirectory", path);
            GetNativeError_Fn = (GetNativeErrorFn)resolve(aTHX_ handle, "GetNativeError", path);
            bridgeHandle = handle;
        } else {
            /* Drops the reference this dlopen added; the first one keeps the library. */
            dlclose(handle);
        }
        RETVAL = PTR2UV(bridgeHandle);
    OUTPUT:
        RETVAL

UV
vbn_library_handle()
    CODE:
        RETVAL = PTR2UV(bridgeHandle);
    OUTPUT:
        RETVAL

# One command: SendCommand, then ReadResponse into the one buffer of the returned string.
SV*
vbn_send_command(message)
        SV* message
    PREINIT:
        int32_t length;
        byte* bytes;
        int responseLength;
        int readResult;
        SV* response;
    CODE:
        require_bridge(aTHX);
        bytes = message_bytes(aTHX_ message, &length, "SendCommand");
        responseLength = SendCommand_Fn(bytes, length);
        check_result(aTHX_ "SendCommand", responseLength, -2);
        if (responseLength < 0)
            die_native(aTHX_ "SendCommand", responseLength,
                       newSVpvf("SendCommand returned the response length %d", responseLength));
        response = newSV((STRLEN)responseLength + 1);
        SvPOK_only(response);
        readResult = ReadResponse_Fn((byte*)SvPVX(response), responseLength);
        if (readResult == -3) {
            SvREFCNT_dec(response);
            die_with_native_error(aTHX_ "ReadResponse", readResult);
        }
        SvCUR_set(response, (STRLEN)responseLength);
        *SvEND(response) = '\0';
        RETVAL = response;
    OUTPUT:
        RETVAL

int
vbn_set_embedded_runtime(callingRuntime, calledRuntime, calledRuntimeVersion, path)
        IV callingRuntime
        IV calledRuntime
        IV calledRuntimeVersion
        const char* path
    CODE:
        require_bridge(aTHX);
        RETVAL = SetEmbeddedRuntime_Fn(to_byte(aTHX_ callingRuntime, "Calling runtime number"),
                                       to_byte(aTHX_ calledRuntime, "Called runtime number"),
                                       to_byte(aTHX_ calledRuntimeVersion, "Called runtime version"), path);
        check_result(aTHX_ "SetEmbeddedRuntime", RETVAL, -4);
    OUTPUT:
        RETVAL

int
vbn_deploy_runtime(message, path, channel)
        SV* message
        const char* path
        IV channel
    PREINIT:
        int32_t length;
        byte* bytes;
    CODE:
        require_bridge(aTHX);
        bytes = message_bytes(aTHX_ message, &length, "DeployRuntime");
        RETVAL = DeployRuntime_Fn(bytes, length, path, to_byte(aTHX_ channel, "Channel"));
        check_result(aTHX_ "DeployRuntime", RETVAL, -5);
    OUTPUT:
        RETVAL

int
vbn_set_config_source(source)
        const char* source
    CODE:
        require_bridge(aTHX);
        RETVAL = SetConfigSource_Fn(source);
        check_result(aTHX_ "SetConfigSource", RETVAL, -6);
    OUTPUT:
        RETVAL

int
vbn_set_working_directory(path)
        const char* path
    CODE:
        require_bridge(aTHX);
        RETVAL = SetWorkingDirectory_Fn(path);
        check_result(aTHX_ "SetWorkingDirectory", RETVAL, -7);
    OUTPUT:
        RETVAL

SV*
vbn_native_error()
    CODE:
        require_bridge(aTHX);
        RETVAL = newSVpv(GetNativeError_Fn(), 0);
    OUTPUT:
        RETVAL

# Reference point for measuring a call through the exports: the same argument and result handling,
# no native call.
SV*
vbn__baseline(message)
        SV* message
    PREINIT:
        int32_t length;
        byte* bytes;
    CODE:
        bytes = message_bytes(aTHX_ message, &length, "baseline");
        RETVAL = newSVpvn((const char*)bytes, (STRLEN)length);
    OUTPUT:
        RETVAL
