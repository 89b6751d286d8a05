// Perl540Launcher.cpp: the embedded Perl 5.40 interpreter; the one place that uses Perl's C interface.
#include "Perl540Launcher.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "Definitions/commandTypes.h"
#include "Exception/VeltrixNativeException.h"
#include "LibrariesFinder/LibrariesFinder.h"

// perl.h defines many short macros; it comes after every other header.
#include <EXTERN.h>
#include <XSUB.h>
#include <perl.h>

using VeltrixNS::Native::Definitions::CommandType;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

PerlInterpreter* my_perl = nullptr;

EXTERN_C void boot_DynaLoader(pTHX_ CV* cv);

void xs_init(pTHX) {
    static const char file[] = "Perl540Launcher.cpp";
    newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, file);
}

namespace {

const char* const sendCommandRoutine = "Veltrix::Core::Receiver::Receiver::send_command";
const char* const heartBeatRoutine = "Veltrix::Core::Receiver::Receiver::heart_beat";
const char* const runtimeInfoRoutine = "Veltrix::Core::Receiver::Receiver::get_runtime_info";

// Launcher-private routines for conversions that may run Perl code (tied arrays, overloaded or
// magical values). They are called with G_EVAL so that a Perl die never unwinds C++ frames.
const char* const responseBytesRoutine = "Veltrix::Native::Perl540Launcher::response_bytes";
const char* const stringifyRoutine = "Veltrix::Native::Perl540Launcher::stringify";
// Byte conversions for the receiver module, which uses them when they exist (pack/unpack otherwise).
const char* const bytesFromArrayRoutine = "Veltrix::Native::Perl540Launcher::bytes_from_array";
const char* const arrayFromBytesRoutine = "Veltrix::Native::Perl540Launcher::array_from_bytes";

const char* const notArrayReference = "Response from Perl is not an array reference.";
const char* const missingElement =
    "Perl 5.40 Launcher: Error in Send Command: Invalid or missing element in Perl response array.";

[[noreturn]] void raise(const std::string& message) {
    throw VeltrixNativeException(message, "Unknown");
}

// A host that loaded the bridge with RTLD_LOCAL keeps libperl out of the global scope, and the
// extensions DynaLoader opens later (List::Util, POSIX...) then miss libperl's symbols. Promoting
// the already loaded libperl fixes that; the extra reference is kept for the life of the process.
void promoteLibperlToGlobalScope() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&perl_alloc), &info) == 0 || info.dli_fname == nullptr) return;
    static void* libperl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
    (void)libperl;
}

// One bracket around a call into the interpreter: makes it current, ENTER/SAVETMPS on entry and,
// however the call ends (also by a C++ exception), drops whatever the call left on the argument
// and mark stacks before FREETMPS/LEAVE, so the interpreter stays usable.
class PerlCallScope {
public:
    PerlCallScope() {
        PERL_SET_CONTEXT(my_perl);
        stackOffset_ = PL_stack_sp - PL_stack_base;
        markOffset_ = PL_markstack_ptr - PL_markstack;
        ENTER;
        SAVETMPS;
    }
    ~PerlCallScope() {
        PL_stack_sp = PL_stack_base + stackOffset_;
        PL_markstack_ptr = PL_markstack + markOffset_;
        FREETMPS;
        LEAVE;
    }
    PerlCallScope(const PerlCallScope&) = delete;
    PerlCallScope& operator=(const PerlCallScope&) = delete;

private:
    SSize_t stackOffset_;
    ptrdiff_t markOffset_;
};

// response_bytes(\@array): (the converted bytes as a string, the array's length, true when every
// element existed). Runs inside call_pv's eval, so FETCH, overloading or fatal warnings may die.
XS_INTERNAL(responseBytesXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "arrayref");
    AV* array = reinterpret_cast<AV*>(SvRV(ST(0)));
    I32 length = static_cast<I32>(av_len(array) + 1);
    if (length < 0) length = 0;
    SV* bytes = sv_2mortal(newSV(static_cast<STRLEN>(length) + 1));
    SvPOK_on(bytes);
    char* out = SvPVX(bytes);
    bool complete = true;
    I32 converted = 0;
    for (; converted < length; ++converted) {
        SV** element = av_fetch(array, converted, 0);
        if (element == nullptr || *element == nullptr) {
            complete = false;
            break;
        }
        out[converted] = static_cast<char>(static_cast<unsigned char>(SvIV(*element)));
    }
    SvCUR_set(bytes, static_cast<STRLEN>(converted));
    out[converted] = '\0';
    SP -= items;
    EXTEND(SP, 3);
    PUSHs(bytes);
    mPUSHi(length);
    PUSHs(complete ? &PL_sv_yes : &PL_sv_no);
    PUTBACK;
}

// stringify($value): the value's string form, which may run overloaded code.
XS_INTERNAL(stringifyXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "value");
    STRLEN length = 0;
    const char* text = SvPV(ST(0), length);
    ST(0) = sv_2mortal(newSVpvn(text, length));
    XSRETURN(1);
}

// bytes_from_array(\@array): the elements' low 8 bits as a byte string, as pack('C*', @array) gives
// (missing elements and undef are 0). Plain integers are read directly; other values go through SvIV,
// which may run Perl code and die: this runs from Perl code, inside call_pv's eval.
XS_INTERNAL(bytesFromArrayXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "arrayref");
    SV* ref = ST(0);
    SvGETMAGIC(ref);
    if (!SvROK(ref) || SvTYPE(SvRV(ref)) != SVt_PVAV) croak("bytes_from_array: not an array reference");
    AV* array = reinterpret_cast<AV*>(SvRV(ref));
    sv_2mortal(SvREFCNT_inc_simple_NN(reinterpret_cast<SV*>(array)));  // alive whatever FETCH does
    SSize_t length = av_count(array);
    SV* bytes = sv_2mortal(newSV(static_cast<STRLEN>(length) + 1));
    SvPOK_on(bytes);
    char* out = SvPVX(bytes);
    SSize_t i = 0;
    while (i < length) {
        // A plain array's plain integers in one tight run.
        if (!SvRMAGICAL(array)) {
            SV** elements = AvARRAY(array);
            SSize_t end = std::min<SSize_t>(length, AvFILLp(array) + 1);
            for (; i < end; ++i) {
                SV* element = elements[i];
                if (element == nullptr || !SvIOK_nog(element)) break;
                out[i] = static_cast<char>(static_cast<unsigned char>(SvIVX(element)));
            }
            if (i >= length) break;
        }
        // Any other element on its own, looked up afresh: converting it may run code that changes the array.
        SV* element = nullptr;
        if (!SvRMAGICAL(array)) {
            if (i <= AvFILLp(array)) element = AvARRAY(array)[i];
        } else {
            SV** fetched = av_fetch(array, i, 0);
            if (fetched != nullptr) element = *fetched;
        }
        if (element == nullptr || (!SvOK(element) && !SvGMAGICAL(element))) {
            out[i] = 0;
        } else {
            out[i] = static_cast<char>(static_cast<unsigned char>(SvIV(element)));
        }
        ++i;
    }
    SvCUR_set(bytes, static_cast<STRLEN>(length));
    out[length] = '\0';
    ST(0) = bytes;
    XSRETURN(1);
}

// array_from_bytes($bytes): a new array reference with one integer per byte, as [unpack('C*', $bytes)]
// gives; of a character string one number per character, as unpack gives too.
XS_INTERNAL(arrayFromBytesXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "bytes");
    STRLEN length = 0;
    const char* text = SvPV(ST(0), length);
    AV* array;
    if (!SvUTF8(ST(0))) {
        array = length > 0 ? newAV_alloc_x(static_cast<SSize_t>(length)) : newAV();
        SV* result = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(array)));
        const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
        for (STRLEN i = 0; i < length; ++i) av_push_simple(array, newSViv(in[i]));
        ST(0) = result;
    } else {
        array = newAV();
        SV* result = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(array)));
        const U8* in = reinterpret_cast<const U8*>(text);
        const U8* end = in + length;
        while (in < end) {
            STRLEN consumed = 0;
            UV character = utf8_to_uvchr_buf(in, end, &consumed);
            av_push(array, newSVuv(character));
            in += consumed > 0 ? consumed : 1;
        }
        ST(0) = result;
    }
    XSRETURN(1);
}

void registerLauncherRoutines() {
    static const char file[] = "Perl540Launcher.cpp";
    newXS(responseBytesRoutine, responseBytesXs, file);
    newXS(stringifyRoutine, stringifyXs, file);
    newXS(bytesFromArrayRoutine, bytesFromArrayXs, file);
    newXS(arrayFromBytesRoutine, arrayFromBytesXs, file);
}

// Whether the last eval'ed call died. A reference in $@ counts without asking it: its overloaded
// truth test could die again, outside any eval.
bool perlCallDied() {
    SV* error = ERRSV;
    return SvROK(error) || SvTRUE_nomg(error);
}

// A value whose string form needs no Perl code (no magic, no reference).
bool isPlainScalar(SV* value) {
    return !SvGMAGICAL(value) && !SvROK(value);
}

// The string form of a value; Perl-side failures become text. Runs inside a PerlCallScope.
std::string perlText(SV* value) {
    if (isPlainScalar(value)) {
        STRLEN length = 0;
        const char* text = SvPV(value, length);
        return std::string(text, length);
    }
    // A copy: the eval'ed call clears $@, which may be the very value.
    SV* argument = SvGMAGICAL(value) ? value : sv_2mortal(newSVsv_nomg(value));
    dSP;
    PUSHMARK(SP);
    XPUSHs(argument);
    PUTBACK;
    int count = call_pv(stringifyRoutine, G_EVAL | G_SCALAR);
    SPAGAIN;
    std::string text = "(value could not be converted to text)";
    if (!perlCallDied() && count == 1) {
        STRLEN length = 0;
        const char* converted = SvPV(TOPs, length);
        text.assign(converted, length);
    }
    SP -= count;
    PUTBACK;
    return text;
}

}  // namespace

Perl540Launcher::Perl540Launcher(RuntimeOperationMode opMode)
    : NativeLauncher(opMode), result(0), len(0), runtimeName_("Perl 5.40") {}

Perl540Launcher::~Perl540Launcher() {
    if (my_perl != nullptr) {
        PERL_SET_CONTEXT(my_perl);
        perl_destruct(my_perl);  // END blocks run here (PERL_EXIT_DESTRUCT_END)
        perl_free(my_perl);
        PERL_SYS_TERM();
        my_perl = nullptr;
    }
}

void Perl540Launcher::Initialize(byte /*calledRuntimeVersion*/) {
    if (operationMode != RuntimeOperationMode::CalledRuntime) return;

    // The interpreter keeps pointers into argv (it rewrites them when $0 is assigned), so the
    // arguments live as long as the process.
    static std::string arg0;
    static std::string arg1;
    static char* argv[3];
    arg0 = "libVeltrixPerl540RuntimeNative.dll";
    arg1 = LibrariesFinder::getBinariesRootPath() + "Binaries/Perl/" + "Windows" + "/" + "X64" +
           "/lib/Veltrix/Core/Receiver/Receiver.pm";
    argv[0] = arg0.data();
    argv[1] = arg1.data();
    argv[2] = nullptr;
    int argc = 2;
    char** argvPtr = argv;
    char** env = environ;
    PERL_SYS_INIT3(&argc, &argvPtr, &env);

    my_perl = perl_alloc();
    if (my_perl == nullptr) {
        raise(std::string("Perl 5.40 Launcher: Exception code 002. \n") + "Check your Perl installation");
    }
    perl_construct(my_perl);
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;

    promoteLibperlToGlobalScope();
    // A missing or broken module shows through the run status or, later, through the missing routines.
    perl_parse(my_perl, xs_init, argc, argv, nullptr);
    if (PL_defstash != nullptr) registerLauncherRoutines();
    result = perl_run(my_perl);
    if (result == 1) {
        raise(std::string("Perl 5.40 Launcher: Exception code 003. \n") + "Perl runtime execution failed.");
    }
}

int Perl540Launcher::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (my_perl == nullptr) raise("Perl 5.40 Launcher: SendCommand - Perl interpreter not initialized.");
    // A missing buffer is an empty message (which is too short).
    if (messageByteArray == nullptr) messageByteArrayLen = 0;

    PerlCallScope scope;
    dSP;
    PUSHMARK(SP);
    XPUSHs(&PL_sv_undef);

    // Sized once: one integer per byte, in message order, as pushing them one by one would give.
    AV* messageAV = messageByteArrayLen > 0 ? newAV_alloc_x(messageByteArrayLen) : newAV();
    if (messageByteArrayLen > 0) {
        SV** elements = AvARRAY(messageAV);
        for (int32_t i = 0; i < messageByteArrayLen; ++i) elements[i] = newSViv(messageByteArray[i]);
        AvFILLp(messageAV) = messageByteArrayLen - 1;
    }
    SV* messageSV = newRV_noinc(reinterpret_cast<SV*>(messageAV));
    XPUSHs(sv_2mortal(messageSV));
    PUTBACK;

    if (messageByteArrayLen <= 10)
        raise(std::string("Perl 5.40 Launcher: Exception code 011. \n") + "Message too short");

    methodToInvoke =
        messageByteArray[10] == static_cast<byte>(CommandType::HeartBeat) ? heartBeatRoutine : sendCommandRoutine;
    int perlCallResultCount = call_pv(methodToInvoke.c_str(), G_EVAL | G_LIST);
    SPAGAIN;

    // The last value returned counts; none at all (a die, an empty list) is not an array either.
    SV* responseSV = perlCallResultCount > 0 ? POPs : nullptr;
    PUTBACK;
    if (responseSV == nullptr || !SvROK(responseSV) || SvTYPE(SvRV(responseSV)) != SVt_PVAV) raise(notArrayReference);
    AV* responseAV = reinterpret_cast<AV*>(SvRV(responseSV));

    // Plain arrays of plain integers are read directly; anything that could run Perl code (a tied
    // array, magical, overloaded or non-integer elements) is converted by response_bytes under eval.
    bool direct = !SvRMAGICAL(responseAV);
    int32_t responseLen = 0;
    if (direct) {
        responseLen = static_cast<int32_t>(AvFILLp(responseAV) + 1);
        if (responseLen < 0) responseLen = 0;
        perlResponseByteArray.resize(static_cast<size_t>(responseLen));
        SV** elements = AvARRAY(responseAV);
        unsigned char* out = perlResponseByteArray.data();
        for (int32_t i = 0; i < responseLen; ++i) {
            SV* sv_ptr = elements[i];
            if (sv_ptr == nullptr) raise(missingElement);
            if (SvIOK_nog(sv_ptr)) {
                out[i] = static_cast<unsigned char>(SvIVX(sv_ptr));
            } else if (!SvOK(sv_ptr) && !SvGMAGICAL(sv_ptr)) {
                out[i] = 0;  // an element holding undef
            } else {
                direct = false;
                break;
            }
        }
    }
    if (!direct) {
        PUSHMARK(SP);
        XPUSHs(responseSV);
        PUTBACK;
        int count = call_pv(responseBytesRoutine, G_EVAL | G_LIST);
        SPAGAIN;
        if (perlCallDied() || count != 3) raise(missingElement);
        bool complete = SvTRUE(POPs);
        responseLen = static_cast<int32_t>(SvIV(POPs));
        STRLEN converted = 0;
        const char* bytes = SvPV(POPs, converted);
        PUTBACK;
        perlResponseByteArray.resize(static_cast<size_t>(responseLen));
        std::memcpy(perlResponseByteArray.data(), bytes, converted);
        if (!complete) raise(missingElement);
    }
    return responseLen;
}

// Copies at most the stored response: a longer buffer gets nothing beyond it (its tail is left as
// the caller had it), so a wrong length never reads past the response.
int Perl540Launcher::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (responseByteArray == nullptr || responseByteArrayLen <= 0) return 0;
    size_t count = std::min(static_cast<size_t>(responseByteArrayLen), perlResponseByteArray.size());
    if (count > 0) std::memcpy(responseByteArray, perlResponseByteArray.data(), count);
    return 0;
}

int Perl540Launcher::LoadOptimizedMethod(std::string /*optimizedMethodName*/) {
    return 1;
}

int Perl540Launcher::SetPath(byte /*calledRuntimeVersion*/, std::string /*path*/) {
    return 1;
}

int Perl540Launcher::DeployRuntime(byte* /*messageByteArray*/, int32_t /*messageByteArrayLen*/, std::string /*path*/,
                                   byte /*channel*/) {
    return 1;
}

std::string Perl540Launcher::GetRuntimeName() {
    return runtimeName_;
}

std::string Perl540Launcher::GetRuntimeInfo() {
    if (my_perl == nullptr && operationMode == RuntimeOperationMode::CalledRuntime) return "";
    std::string managed = GetRuntimeInfoFromManagedRuntime();
    std::string native = GetRuntimeInfoFromNativeLevel();
    return native + "\n" + managed;
}

std::string Perl540Launcher::GetRuntimeInfoFromNativeLevel() {
    std::stringstream info;
    info << "Perl Native Launcher Runtime Info: " << std::endl;
    return info.str();
}

std::string Perl540Launcher::GetRuntimeInfoFromManagedRuntime() {
    if (my_perl == nullptr) return "Error: Perl interpreter not initialized for GetRuntimeInfoFromManagedRuntime.";

    PerlCallScope scope;
    dSP;
    PUSHMARK(SP);
    XPUSHs(&PL_sv_undef);
    PUTBACK;
    int count = call_pv(runtimeInfoRoutine, G_EVAL | G_SCALAR);
    SPAGAIN;

    std::string runtimeInfo;
    if (perlCallDied()) {
        SP -= count;  // the undef a failed call leaves
        PUTBACK;
        runtimeInfo = "Perl error in GetRuntimeInfoFromManagedRuntime: " + perlText(ERRSV);
    } else if (count != 1) {
        runtimeInfo = "Perl method did not return one scalar value.";
    } else {
        SV* responseSV = POPs;
        PUTBACK;
        runtimeInfo = SvOK(responseSV) ? perlText(responseSV) : "Perl method returned undef or empty.";
    }
    PUTBACK;
    return runtimeInfo;
}
