// LauncherProbe.cpp: test-only export of the version-dispatching launcher, which the bridge keeps hidden.
#include "PerlLauncher.h"

VELTRIX_EXPORT VeltrixNS::Native::Interfaces::ILauncher* CreateProbePerlLauncher(RuntimeOperationMode opMode) {
    return new PerlLauncher(opMode);  // owned by the test, deleted through ILauncher
}
