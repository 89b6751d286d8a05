/* Native.xs: Veltrix::Bridge::Native, the Perl door to the bridge library's exported functions. */
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

#include <dlfcn.h>
#include <pthread.h>
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

/* A command and the reading of its response are one step for every thread and interpreter of the process:
 * the exports keep the last response for the next ReadResponse. The lock is recursive: a command whose
 * handling calls back into Perl on the same thread may send commands of its own. */
static pthread_mutex_t commandLock;
static pthread_once_t commandLockOnce = PTHREAD_ONCE_INIT;

static void init_command_lock(void) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&commandLock, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

/* Dies with a Veltrix::Bridge::NativeError object: a die with a plain string would have Perl append
 * " at FILE line N." to the text, and callers compare the native text byte for byte. The place in the
 * caller's code goes into the object's file and line. */
static void die_native(pTHX_ const char* function, int result, SV* text) {
    HV* fields = newHV();
    SV* error;
    (void)hv_stores(fields, "function", newSVpv(function, 0));
    (void)hv_stores(fields, "result", newSViv(result));
    (void)hv_stores(fields, "message", text);
    error = sv_2mortal(sv_bless(newRV_noinc((SV*)fields), gv_stashpvs(NATIVE_ERROR_CLASS, GV_ADD)));
    if (get_cv("Veltrix::Error::_place_of_caller", 0) != NULL) {
        dSP;
        PUSHMARK(SP);
        XPUSHs(error);
        PUTBACK;
        (void)call_pv("Veltrix::Error::_place_of_caller", G_DISCARD | G_EVAL | G_KEEPERR);
    }
    croak_sv(error);
}

/* GetNativeError's text, copied at once (under the command lock where there is one). */
static SV* native_error_text(pTHX) {
    const char* text = GetNativeError_Fn();
    return newSVpv(text != NULL ? text : "", 0);
}

/* The exports tell failure from success only by their own failure value; any other result is the
 * other side's and passes through. */
static void check_result(pTHX_ const char* function, int result, int failure) {
    if (result == failure) die_native(aTHX_ function, result, native_error_text(aTHX));
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

# One command: SendCommand, then ReadResponse into the one buffer of the returned string, under the
# process-wide command lock.
SV*
vbn_send_command(message)
        SV* message
    PREINIT:
        int32_t length;
        byte* bytes;
        int responseLength;
        int readResult = 0;
        SV* response = NULL;
        SV* failure = NULL;
    CODE:
        require_bridge(aTHX);
        bytes = message_bytes(aTHX_ message, &length, "SendCommand");
        pthread_once(&commandLockOnce, init_command_lock);
        pthread_mutex_lock(&commandLock);
        responseLength = SendCommand_Fn(bytes, length);
        if (responseLength == -2) {
            failure = native_error_text(aTHX);
        } else if (responseLength >= 0) {
            response = newSV((STRLEN)responseLength + 1);
            SvPOK_only(response);
            readResult = ReadResponse_Fn((byte*)SvPVX(response), responseLength);
            if (readResult == -3) failure = native_error_text(aTHX);
        }
        pthread_mutex_unlock(&commandLock);
        if (responseLength == -2) die_native(aTHX_ "SendCommand", responseLength, failure);
        if (responseLength < 0)
            die_native(aTHX_ "SendCommand", responseLength,
                       newSVpvf("SendCommand returned the response length %d", responseLength));
        if (readResult == -3) {
            SvREFCNT_dec(response);
            die_native(aTHX_ "ReadResponse", readResult, failure);
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
        RETVAL = native_error_text(aTHX);
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
