// Perl540Interpreter.h: the process's one Perl 5.40 interpreter: its start and end, and the bracket around
// every call into it. Included only by the launcher's Perl sources (it brings in perl.h).
#pragma once
#include <string>

#include "Perl540Launcher.h"

// perl.h defines many short macros; it comes after every other header.
#include <EXTERN.h>
#include <XSUB.h>
#include <perl.h>

namespace VeltrixNS::Runtimes::Perl::Native::Embedded {

// Starts the interpreter on the module at modulePath, registers the launcher's own routines and runs the
// main program. False when the interpreter cannot be allocated; otherwise runStatus is perl_run's result
// (the interpreter stays allocated whatever it is).
bool StartInterpreter(const std::string& modulePath, int& runStatus);

// Ends the interpreter (END blocks run) if there is one.
void StopInterpreter();

// One bracket around a call into the interpreter: makes it current, ENTER/SAVETMPS on entry and,
// however the call ends (also by a C++ exception), drops whatever the call left on the argument
// and mark stacks before FREETMPS/LEAVE, so the interpreter stays usable.
class PerlCallScope {
public:
    PerlCallScope();
    ~PerlCallScope();
    PerlCallScope(const PerlCallScope&) = delete;
    PerlCallScope& operator=(const PerlCallScope&) = delete;

private:
    SSize_t stackOffset_;
    ptrdiff_t markOffset_;
};

// Whether the last eval'ed call died.
bool PerlCallDied();

// The string form of a value; a failure of Perl code that produces it becomes a fixed text. Runs inside a
// PerlCallScope.
std::string PerlText(SV* value);

}  // namespace VeltrixNS::Runtimes::Perl::Native::Embedded
