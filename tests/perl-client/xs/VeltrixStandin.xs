/* VeltrixStandin.xs: test-side control of a loaded stand-in library's call log, from Perl. */
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

#include <dlfcn.h>

/* The export of a stand-in that the code under test has already loaded, or NULL. The reference taken
 * by RTLD_NOLOAD is dropped at once: the library stays loaded by its real owner. */
static void* loaded_export(const char* path, const char* name) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    void* symbol;
    if (handle == NULL) return NULL;
    symbol = dlsym(handle, name);
    dlclose(handle);
    return symbol;
}

MODULE = VeltrixStandin    PACKAGE = VeltrixStandin

PROTOTYPES: DISABLE

# Pauses or resumes the call log (the benchmark keeps formatting out of its figures).
bool
set_recording(path, on)
        const char* path
        int on
    PREINIT:
        void (*record)(int);
    CODE:
        record = (void (*)(int))loaded_export(path, "StandinSetRecording");
        if (record != NULL) record(on);
        RETVAL = record != NULL;
    OUTPUT:
        RETVAL
