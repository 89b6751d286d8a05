// LauncherProbe.cpp: test-only exports of the version-dispatching launcher, which the bridge keeps hidden.
#include <string>

#include "LibrariesFinder/LibrariesFinder.h"
#include "PerlLauncher.h"

using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

VELTRIX_EXPORT VeltrixNS::Native::Interfaces::ILauncher* CreateProbePerlLauncher(RuntimeOperationMode opMode) {
    return new PerlLauncher(opMode);  // owned by the test, deleted through ILauncher
}

// Loads a library beside this one exactly as the launcher loads a version library.
VELTRIX_EXPORT HINSTANCE ProbeLoadSibling(const char* fileName) {
    return LibrariesFinder::loadLibrary(LibrariesFinder::getThisLibraryPath() + fileName, false, true);
}
