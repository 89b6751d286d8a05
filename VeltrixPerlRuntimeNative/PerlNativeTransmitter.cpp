// PerlNativeTransmitter.cpp: the Perl bridge's transmitter; all behaviour lives in NativeTransmitter.
#include "PerlNativeTransmitter.h"

namespace VeltrixNS::Runtimes::Perl::Native::Transmitter {

PerlNativeTransmitter::PerlNativeTransmitter(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode)
    : NativeTransmitter(opMode) {}

PerlNativeTransmitter::~PerlNativeTransmitter() = default;

}  // namespace VeltrixNS::Runtimes::Perl::Native::Transmitter
