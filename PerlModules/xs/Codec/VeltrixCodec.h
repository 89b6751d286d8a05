/* VeltrixCodec.h: the command format's decoder and encoder, building and reading Perl values directly.
   Used by the Veltrix::Core::Protocol::Codec XS module and by the decoder's fuzz target. Nothing here
   croaks: every failure leaves its text in `error` and returns NULL or 0, and what was built so far is
   freed, so callers decide how the failure reaches Perl. */
#ifndef VELTRIX_CODEC_H
#define VELTRIX_CODEC_H

#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"

/* Both come from Definitions/limits.h through the build. */
#ifndef VX_HEADER_LENGTH
#error "VX_HEADER_LENGTH must be defined by the build"
#endif
#ifndef VX_MAX_DEPTH
#error "VX_MAX_DEPTH must be defined by the build"
#endif

enum {
    VX_T_NULL = 0,
    VX_T_FALSE = 1,
    VX_T_TRUE = 2,
    VX_T_INT64 = 3,
    VX_T_DOUBLE = 4,
    VX_T_STRING = 5,
    VX_T_BYTES = 6,
    VX_T_LIST = 7,
    VX_T_MAP = 8,
    VX_T_HANDLE = 9,
    VX_T_COMMAND = 10
};

enum { VX_F_LIST_CONTEXT = 1, VX_F_BY_VALUE = 2 };

enum { VX_CMD_EXCEPTION = 10, VX_CMD_HEART_BEAT = 11, VX_CMD_DESTRUCT_REFERENCE = 17 };

/* What a handle in the input becomes: the value the receiver's table holds for it, a reference to its
   id (the commands that work on handle numbers), or a Veltrix::Core::Protocol::Handle object (a
   Veltrix::Client::Handle that releases itself when the decoder has an owner). */
typedef enum { VX_HANDLES_RESOLVE, VX_HANDLES_IDS, VX_HANDLES_OBJECTS } VxHandleMode;

/* One entry of a decoded command message, in message order: a command (type, flags, argument count),
   followed by its arguments, each a value or, recursively, a command. */
typedef struct {
    SV* value; /* mortal; NULL for a command */
    U32 argc;
    U8 type;
    U8 flags;
} VxItem;

typedef struct {
    const U8* data;
    STRLEN length;
    STRLEN pos;
    HV* handles; /* the receiver's table, for VX_HANDLES_RESOLVE */
    SV* owner;   /* for VX_HANDLES_OBJECTS: a client whose handles these are (Veltrix::Client::Handle), or NULL */
    SV* items;   /* buffer of VxItem filled by VxDecodeMessage */
    SSize_t itemCount;
    SV* error; /* mortal text of the failure */
} VxDecoder;

typedef struct {
    SV* out;     /* bytes are appended here */
    HV* handles; /* the receiver's table: references become handles; NULL refuses them */
    UV* nextId;
    SV* error;
} VxEncoder;

/* Handle table keys: the id's 8 bytes as they are in memory. */
#define VX_KEY_LENGTH ((I32)sizeof(UV))

/* Offset of the first byte that is not well-formed UTF-8, or n (the rule of Common/Utf8.h). */
STRLEN VxUtf8InvalidOffset(const U8* text, STRLEN n);

/* Decoding. */
int VxDecodeMessage(pTHX_ VxDecoder* d);
SV* VxDecodeValue(pTHX_ VxDecoder* d, VxHandleMode mode, int depth);
int VxDecodeResponse(pTHX_ VxDecoder* d, int* type, SV** value);
/* A message held in a character string as bytes (a mortal copy), or NULL with the error set. */
SV* VxMessageBytes(pTHX_ SV* message, const char* what, SV** error);

/* Encoding. */
/* The elements of an array as a C array (a tied array's are fetched into a mortal buffer). */
SV** VxElements(pTHX_ AV* array, SSize_t* count);
int VxEncodeValue(pTHX_ VxEncoder* e, SV* value, int byValue, int depth);
int VxEncodeCommandBody(pTHX_ VxEncoder* e, U8 flags, SV* const* args, SSize_t count, int depth);
/* An array's elements as a list, a hash as a map; `depth` is that of the elements. */
int VxEncodeList(pTHX_ VxEncoder* e, AV* array, int byValue, int depth);
int VxEncodeMap(pTHX_ VxEncoder* e, HV* hash, int byValue, int depth);
int VxEncodeHandle(pTHX_ VxEncoder* e, SV* reference);
void VxEncodeText(pTHX_ VxEncoder* e, SV* text);
char* VxRoom(pTHX_ SV* out, STRLEN extra);
void VxPutByte(pTHX_ SV* out, U8 byte);
void VxPutU32(pTHX_ SV* out, U32 value);
/* Header of a response to `message` (any length): the caller's runtime, zeros, ours, the type. */
void VxPutResponseHeader(pTHX_ SV* out, const U8* message, STRLEN length, U8 type);

#endif
