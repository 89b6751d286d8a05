// Perl540Arrays.h: conversions between byte arrays and Perl arrays of integers, for the launcher and, as XS
// routines, for the receiver module. Included only by the launcher's Perl sources (it brings in perl.h).
#pragma once
#include "Perl540Interpreter.h"

namespace VeltrixNS::Runtimes::Perl::Native::Embedded {

// response_bytes(\@array): (the elements as a byte string, the array's length, true when every element
// existed). For responses whose conversion may run Perl code; called under eval.
inline constexpr const char* ResponseBytesRoutine = "Veltrix::Native::Perl540Launcher::response_bytes";

// A new array holding one integer per byte, in order.
AV* NewByteArray(pTHX_ const unsigned char* bytes, SSize_t length);

// Writes the low 8 bits of elements [from, length) to out (undef is 0) and returns the index where it
// stopped: length when done, or the first missing element. With plainOnly it also stops, running no Perl
// code, at an element (or an array) whose conversion could run Perl code; without it such an element is
// converted, which may die, so the caller must be inside an eval.
SSize_t ArrayToBytes(pTHX_ AV* array, unsigned char* out, SSize_t from, SSize_t length, bool plainOnly);

// Registers response_bytes, bytes_from_array and array_from_bytes in the running interpreter.
void RegisterArrayRoutines(pTHX);

}  // namespace VeltrixNS::Runtimes::Perl::Native::Embedded
