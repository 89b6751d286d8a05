/* DecoderFuzz.c: libFuzzer target for the command decoder that the receiver and the Perl client run, in a
   process with a Perl interpreter. Every input is decoded as a command message (against a handle table
   of three values) and as a response; what decodes is encoded again and must decode again, whole; no
   Perl value may outlive the input; the codec's UTF-8 check (ASCII words first) must agree with the shared rule. */
#include "VeltrixCodec.h"

#include <stdio.h>
#include <stdlib.h>

#include "Common/Utf8.h"

static PerlInterpreter* my_perl;
static HV* handles;
static SV* items;
static UV nextId = 4;

int LLVMFuzzerInitialize(int* argc, char*** argv);
int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static char* args[] = {"decoder_fuzz", "-e0", NULL};
    int count = 2;
    char** arguments = args;
    char** env = NULL;
    UV id;
    (void)argc;
    (void)argv;
    PERL_SYS_INIT3(&count, &arguments, &env);
    my_perl = perl_alloc();
    perl_construct(my_perl);
    perl_parse(my_perl, NULL, 2, args, NULL);
    perl_run(my_perl);
    handles = newHV();
    for (id = 1; id <= 3; ++id) (void)hv_store(handles, (const char*)&id, VX_KEY_LENGTH, newRV_noinc(newSVuv(id)), 0);
    items = newSV(64);
    /* Perl caches the handle class and its lack of DESTROY at the first object: before counting values. */
    SvREFCNT_dec(sv_bless(newRV_noinc((SV*)newHV()), gv_stashpvs("Veltrix::Core::Protocol::Handle", GV_ADD)));
    return 0;
}

/* A decoded value encoded by value and decoded again: both must succeed and consume everything. */
static void round_trip(SV* value) {
    VxEncoder e = {NULL, handles, &nextId, NULL};
    VxDecoder d;
    SV* again;
    int type;
    e.out = sv_2mortal(newSVpvs("\x04\0\0\0\0\0\0\0\0\x08\0"));
    if (!VxEncodeValue(aTHX_ & e, value, 1, 0)) abort();
    Zero(&d, 1, VxDecoder);
    d.data = (const U8*)SvPVX(e.out);
    d.length = SvCUR(e.out);
    if (!VxDecodeResponse(aTHX_ & d, &type, &again)) abort();
    SvREFCNT_dec(again);
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VxDecoder d;
    SV* value;
    int type;
    I32 before;
    SSize_t i;
    if (VxUtf8InvalidOffset(data, size) != VeltrixUtf8InvalidOffset(data, size)) abort();
    before = PL_sv_count;
    ENTER;
    SAVETMPS;
    Zero(&d, 1, VxDecoder);
    d.data = data;
    d.length = size;
    d.handles = handles;
    d.items = items;
    if (VxDecodeMessage(aTHX_ & d)) {
        const VxItem* decoded = (const VxItem*)SvPVX(items);
        for (i = 0; i < d.itemCount; ++i)
            if (decoded[i].value != NULL) round_trip(decoded[i].value);
    }
    Zero(&d, 1, VxDecoder);
    d.data = data;
    d.length = size;
    if (VxDecodeResponse(aTHX_ & d, &type, &value)) {
        round_trip(sv_2mortal(value));
    }
    FREETMPS;
    LEAVE;
    /* Handles the round trips stored go again; the table keeps its three. */
    for (i = 4; (UV)i < nextId; ++i) {
        UV id = (UV)i;
        (void)hv_delete(handles, (const char*)&id, VX_KEY_LENGTH, G_DISCARD);
    }
    nextId = 4;
    if (PL_sv_count != before) {
        fprintf(stderr, "sv count %d -> %d\n", (int)before, (int)PL_sv_count);
        abort();
    }
    return 0;
}
