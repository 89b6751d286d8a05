// Perl540Interpreter.cpp: start and end of the embedded interpreter, the call bracket and text of Perl values.
#include "Perl540Interpreter.h"

#include <dlfcn.h>
#include <unistd.h>

#include "Perl540Arrays.h"

PerlInterpreter* my_perl = nullptr;

EXTERN_C void boot_DynaLoader(pTHX_ CV* cv);

void xs_init(pTHX) {
    static const char file[] = "Perl540Interpreter.cpp";
    newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, file);
}

namespace VeltrixNS::Runtimes::Perl::Native::Embedded {

namespace {

// Launcher-private routine for string forms that may run Perl code (overloaded or magical values), called
// with G_EVAL so that a Perl die never unwinds C++ frames.
const char* const stringifyRoutine = "Veltrix::Native::Perl540Launcher::stringify";

// stringify($value): the value's string form, which may run overloaded code.
XS_INTERNAL(stringifyXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "value");
    STRLEN length = 0;
    const char* text = SvPV(ST(0), length);
    ST(0) = sv_2mortal(newSVpvn(text, length));
    XSRETURN(1);
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

// A value whose string form needs no Perl code (no magic, no reference).
bool isPlainScalar(SV* value) {
    return !SvGMAGICAL(value) && !SvROK(value);
}

}  // namespace

bool StartInterpreter(const std::string& modulePath, int& runStatus) {
    // The interpreter keeps pointers into argv (it rewrites them when $0 is assigned), so the
    // arguments live as long as the process.
    static std::string arg0;
    static std::string arg1;
    static char* argv[3];
    arg0 = "libVeltrixPerl540RuntimeNative.dll";
    arg1 = modulePath;
    argv[0] = arg0.data();
    argv[1] = arg1.data();
    argv[2] = nullptr;
    int argc = 2;
    char** argvPtr = argv;
    char** env = environ;
    PERL_SYS_INIT3(&argc, &argvPtr, &env);

    my_perl = perl_alloc();
    if (my_perl == nullptr) return false;
    perl_construct(my_perl);
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;

    promoteLibperlToGlobalScope();
    // A missing or broken module shows through the run status or, later, through the missing routines.
    perl_parse(my_perl, xs_init, argc, argv, nullptr);
    if (PL_defstash != nullptr) {
        static const char file[] = "Perl540Interpreter.cpp";
        newXS(stringifyRoutine, stringifyXs, file);
        RegisterArrayRoutines(aTHX);
    }
    runStatus = perl_run(my_perl);
    return true;
}

void StopInterpreter() {
    if (my_perl == nullptr) return;
    PERL_SET_CONTEXT(my_perl);
    perl_destruct(my_perl);  // END blocks run here (PERL_EXIT_DESTRUCT_END)
    perl_free(my_perl);
    PERL_SYS_TERM();
    my_perl = nullptr;
}

PerlCallScope::PerlCallScope() {
    PERL_SET_CONTEXT(my_perl);
    stackOffset_ = PL_stack_sp - PL_stack_base;
    markOffset_ = PL_markstack_ptr - PL_markstack;
    ENTER;
    SAVETMPS;
}

PerlCallScope::~PerlCallScope() {
    PL_stack_sp = PL_stack_base + stackOffset_;
    PL_markstack_ptr = PL_markstack + markOffset_;
    FREETMPS;
    LEAVE;
}

// A reference in $@ counts without asking it: its overloaded truth test could die again, outside any eval.
bool PerlCallDied() {
    SV* error = ERRSV;
    return SvROK(error) || SvTRUE_nomg(error);
}

std::string PerlText(SV* value) {
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
    if (!PerlCallDied() && count == 1) {
        STRLEN length = 0;
        const char* converted = SvPV(TOPs, length);
        text.assign(converted, length);
    }
    SP -= count;
    PUTBACK;
    return text;
}

}  // namespace VeltrixNS::Runtimes::Perl::Native::Embedded
