// Perl540Launcher.cpp: the launcher glue: starts the interpreter on the receiver module, passes each command
// to the module's routine as an array of integers and keeps the array it returns as the response bytes.
#include "Perl540Launcher.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "Definitions/commandHeader.h"
#include "Exception/Raise.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Perl540Arrays.h"

using VeltrixNS::Native::Definitions::CommandType;
using VeltrixNS::Native::Definitions::MessageCommandType;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Definitions::Limits::HeaderLength;
using VeltrixNS::Native::Exception::Perl540LauncherComponent;
using VeltrixNS::Native::Exception::Raise;
using VeltrixNS::Native::Exception::RaiseNumbered;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
namespace Embedded = VeltrixNS::Runtimes::Perl::Native::Embedded;

namespace {

const char* const sendCommandRoutine = "Veltrix::Core::Receiver::Receiver::send_command";
const char* const heartBeatRoutine = "Veltrix::Core::Receiver::Receiver::heart_beat";
const char* const runtimeInfoRoutine = "Veltrix::Core::Receiver::Receiver::get_runtime_info";

const char* const notArrayReference = "Response from Perl is not an array reference.";
const char* const missingElement =
    "Perl 5.40 Launcher: Error in Send Command: Invalid or missing element in Perl response array.";

}  // namespace

Perl540Launcher::Perl540Launcher(RuntimeOperationMode opMode)
    : NativeLauncher(opMode), result(0), len(0), runtimeName_("Perl 5.40") {}

// Ends the process's interpreter, whichever launcher started it.
Perl540Launcher::~Perl540Launcher() {
    Embedded::StopInterpreter();
}

void Perl540Launcher::Initialize(byte /*calledRuntimeVersion*/) {
    if (operationMode != RuntimeOperationMode::CalledRuntime) return;
    std::string module = LibrariesFinder::getBinariesRootPath() + "Binaries/Perl/" + "Windows" + "/" + "X64" +
                         "/lib/Veltrix/Core/Receiver/Receiver.pm";
    if (!Embedded::StartInterpreter(module, result)) {
        RaiseNumbered(Perl540LauncherComponent, "002", "Check your Perl installation");
    }
    if (result == 1) RaiseNumbered(Perl540LauncherComponent, "003", "Perl runtime execution failed.");
}

int Perl540Launcher::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (my_perl == nullptr) Raise("Perl 5.40 Launcher: SendCommand - Perl interpreter not initialized.");
    // A missing buffer is an empty message (which is too short).
    if (messageByteArray == nullptr) messageByteArrayLen = 0;

    Embedded::PerlCallScope scope;
    dSP;
    PUSHMARK(SP);
    XPUSHs(&PL_sv_undef);
    AV* messageAV = Embedded::NewByteArray(aTHX_ messageByteArray, messageByteArrayLen);
    XPUSHs(sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(messageAV))));
    PUTBACK;

    if (messageByteArrayLen < static_cast<int32_t>(HeaderLength)) {
        RaiseNumbered(Perl540LauncherComponent, "011", "Message too short");
    }
    methodToInvoke =
        MessageCommandType(messageByteArray) == CommandType::HeartBeat ? heartBeatRoutine : sendCommandRoutine;
    int perlCallResultCount = call_pv(methodToInvoke.c_str(), G_EVAL | G_LIST);
    SPAGAIN;

    // The last value returned counts; none at all (a die, an empty list) is not an array either.
    SV* responseSV = perlCallResultCount > 0 ? POPs : nullptr;
    PUTBACK;
    if (responseSV == nullptr || !SvROK(responseSV) || SvTYPE(SvRV(responseSV)) != SVt_PVAV) Raise(notArrayReference);
    AV* responseAV = reinterpret_cast<AV*>(SvRV(responseSV));

    // Plain arrays of plain integers are read directly; anything that could run Perl code (a tied array,
    // magical, overloaded or non-integer elements) is converted by response_bytes under eval.
    bool direct = !SvRMAGICAL(responseAV);  // a tied array's FETCHSIZE and FETCH are Perl code
    int32_t responseLen = 0;
    SSize_t converted = 0;
    if (direct) {
        responseLen = static_cast<int32_t>(AvFILLp(responseAV) + 1);
        perlResponseByteArray.resize(static_cast<size_t>(responseLen));
        converted = Embedded::ArrayToBytes(aTHX_ responseAV, perlResponseByteArray.data(), 0, responseLen, true);
        if (converted < responseLen && AvARRAY(responseAV)[converted] == nullptr) Raise(missingElement);
    }
    if (!direct || converted < responseLen) {
        PUSHMARK(SP);
        XPUSHs(responseSV);
        PUTBACK;
        int count = call_pv(Embedded::ResponseBytesRoutine, G_EVAL | G_LIST);
        SPAGAIN;
        if (Embedded::PerlCallDied() || count != 3) Raise(missingElement);
        bool complete = SvTRUE(POPs);
        responseLen = static_cast<int32_t>(SvIV(POPs));
        STRLEN length = 0;
        const char* bytes = SvPV(POPs, length);
        PUTBACK;
        perlResponseByteArray.resize(static_cast<size_t>(responseLen));
        std::memcpy(perlResponseByteArray.data(), bytes, std::min<size_t>(length, perlResponseByteArray.size()));
        if (!complete) Raise(missingElement);
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

    Embedded::PerlCallScope scope;
    dSP;
    PUSHMARK(SP);
    XPUSHs(&PL_sv_undef);
    PUTBACK;
    int count = call_pv(runtimeInfoRoutine, G_EVAL | G_SCALAR);
    SPAGAIN;

    std::string runtimeInfo;
    if (Embedded::PerlCallDied()) {
        SP -= count;  // the undef a failed call leaves
        PUTBACK;
        runtimeInfo = "Perl error in GetRuntimeInfoFromManagedRuntime: " + Embedded::PerlText(ERRSV);
    } else if (count != 1) {
        runtimeInfo = "Perl method did not return one scalar value.";
    } else {
        SV* responseSV = POPs;
        PUTBACK;
        runtimeInfo = SvOK(responseSV) ? Embedded::PerlText(responseSV) : "Perl method returned undef or empty.";
    }
    PUTBACK;
    return runtimeInfo;
}
