/* VeltrixCodec.c: decoding command bodies straight into Perl values and encoding Perl values straight into
   messages and responses, in one pass each, with every announced length checked before allocating. */
#include "VeltrixCodec.h"

#include <string.h>

#include "Common/Utf8.h"

#define VX_HANDLE_CLASS "Veltrix::Core::Protocol::Handle"
#define VX_CLIENT_HANDLE_CLASS "Veltrix::Client::Handle"
#define VX_COMMAND_CLASS "Veltrix::Core::Protocol::Command"

static U32 vx_u32(const U8* p) {
    return (U32)p[0] | ((U32)p[1] << 8) | ((U32)p[2] << 16) | ((U32)p[3] << 24);
}

static U64 vx_u64(const U8* p) {
    return (U64)vx_u32(p) | ((U64)vx_u32(p + 4) << 32);
}

/* Length of the ASCII prefix, eight bytes at a time. */
static STRLEN vx_ascii_prefix(const U8* p, STRLEN n) {
    STRLEN i = 0;
    while (n - i >= 8) {
        U64 word;
        memcpy(&word, p + i, 8);
        if (word & UINT64_C(0x8080808080808080)) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

/* Offset of the first byte that breaks well-formed UTF-8, or n: one pass over the text, the ASCII prefix
   eight bytes at a time and the rest by the shared rule. */
STRLEN VxUtf8InvalidOffset(const U8* p, STRLEN n) {
    STRLEN ascii = vx_ascii_prefix(p, n);
    return ascii == n ? n : ascii + VeltrixUtf8InvalidOffset(p + ascii, n - ascii);
}

static void vx_set_error(pTHX_ SV** error, SV* text) {
    *error = sv_2mortal(text);
}

/* "Malformed command: <what>\n" */
static void vx_malformed(pTHX_ VxDecoder* d, const char* format, ...) {
    va_list args;
    SV* text = newSVpvs("Malformed command: ");
    va_start(args, format);
    sv_vcatpvf(text, format, &args);
    va_end(args);
    sv_catpvs(text, "\n");
    vx_set_error(aTHX_ & d->error, text);
}

#define VX_OFF(x) ((UV)(x))

/* ---------------------------------------------------------------------------------------------------- */
/* Decoding */

static SV* vx_decode_handle(pTHX_ VxDecoder* d, VxHandleMode mode) {
    const U8* b = d->data;
    STRLEN pos = d->pos, len = d->length;
    U64 id;
    U32 n;
    const U8* name;
    if (len - pos < 13) {
        vx_malformed(aTHX_ d, "handle at offset %" UVuf " is cut off", VX_OFF(pos));
        return NULL;
    }
    id = vx_u64(b + pos + 1);
    n = vx_u32(b + pos + 9);
    if (n > len - pos - 13) {
        vx_malformed(aTHX_ d,
                     "type name of the handle at offset %" UVuf " claims %" UVuf " bytes, only %" UVuf " follow",
                     VX_OFF(pos), (UV)n, VX_OFF(len - pos - 13));
        return NULL;
    }
    name = b + pos + 13;
    if (VxUtf8InvalidOffset(name, n) != n) {
        vx_malformed(aTHX_ d, "type name of the handle at offset %" UVuf " is not valid UTF-8", VX_OFF(pos));
        return NULL;
    }
    d->pos = pos + 13 + n;
    if (mode == VX_HANDLES_OBJECTS) {
        HV* fields = newHV();
        SV* type = newSVpvn((const char*)name, n);
        if (vx_ascii_prefix(name, n) != n) SvUTF8_on(type);
        (void)hv_stores(fields, "id", newSVuv((UV)id));
        (void)hv_stores(fields, "type", type);
        if (d->owner != NULL) {
            (void)hv_stores(fields, "client", newSVsv(d->owner));
            return sv_bless(newRV_noinc((SV*)fields), gv_stashpvs(VX_CLIENT_HANDLE_CLASS, GV_ADD));
        }
        return sv_bless(newRV_noinc((SV*)fields), gv_stashpvs(VX_HANDLE_CLASS, GV_ADD));
    } else {
        UV key = (UV)id;
        SV** stored = d->handles != NULL ? hv_fetch(d->handles, (const char*)(&key), VX_KEY_LENGTH, 0) : NULL;
        if (stored == NULL) {
            vx_set_error(aTHX_ & d->error,
                         newSVpvf("No Perl value with handle %" UVuf " (released or never created)\n", key));
            return NULL;
        }
        /* The commands that work on handle numbers get a reference to the id. */
        return mode == VX_HANDLES_IDS ? newRV_noinc(newSVuv(key)) : newSVsv(*stored);
    }
}

static SV* vx_decode_container(pTHX_ VxDecoder* d, VxHandleMode mode, int depth, U8 tag) {
    const char* what = tag == VX_T_LIST ? "list" : "map";
    STRLEN pos = d->pos, len = d->length;
    U32 n, i;
    if (len - pos < 5) {
        vx_malformed(aTHX_ d, "%s at offset %" UVuf " is cut off", what, VX_OFF(pos));
        return NULL;
    }
    if (depth >= VX_MAX_DEPTH) {
        vx_malformed(aTHX_ d, "%s at offset %" UVuf " is nested deeper than %d levels", what, VX_OFF(pos),
                     VX_MAX_DEPTH);
        return NULL;
    }
    n = vx_u32(d->data + pos + 1);
    /* Every entry takes a byte at least: a count beyond the bytes that remain is refused before allocating. */
    if ((U64)n * (tag == VX_T_LIST ? 1 : 2) > (U64)(len - pos - 5)) {
        vx_malformed(aTHX_ d, "%s at offset %" UVuf " claims %" UVuf " entries, only %" UVuf " bytes follow", what,
                     VX_OFF(pos), (UV)n, VX_OFF(len - pos - 5));
        return NULL;
    }
    d->pos = pos + 5;
    if (tag == VX_T_LIST) {
        AV* list = newAV();
        if (n > 0) av_extend(list, (SSize_t)n - 1);
        for (i = 0; i < n; ++i) {
            SV* element = VxDecodeValue(aTHX_ d, mode, depth + 1);
            if (element == NULL) {
                SvREFCNT_dec((SV*)list);
                return NULL;
            }
            AvARRAY(list)[i] = element;
            AvFILLp(list) = (SSize_t)i;
        }
        return newRV_noinc((SV*)list);
    } else {
        HV* map = newHV();
        for (i = 0; i < n; ++i) {
            STRLEN keyPos = d->pos;
            SV* key = VxDecodeValue(aTHX_ d, mode, depth + 1);
            SV* value;
            if (key == NULL) {
                SvREFCNT_dec((SV*)map);
                return NULL;
            }
            if (!SvOK(key) || SvROK(key)) {
                SvREFCNT_dec(key);
                SvREFCNT_dec((SV*)map);
                vx_malformed(aTHX_ d, "map key at offset %" UVuf " is not a scalar", VX_OFF(keyPos));
                return NULL;
            }
            value = VxDecodeValue(aTHX_ d, mode, depth + 1);
            if (value == NULL) {
                SvREFCNT_dec(key);
                SvREFCNT_dec((SV*)map);
                return NULL;
            }
            (void)hv_store_ent(map, key, value, 0);
            SvREFCNT_dec(key);
        }
        return newRV_noinc((SV*)map);
    }
}

/* One value at d->pos: a new SV owned by the caller, or NULL with d->error set. */
SV* VxDecodeValue(pTHX_ VxDecoder* d, VxHandleMode mode, int depth) {
    const U8* b = d->data;
    STRLEN pos = d->pos, len = d->length;
    U8 tag;
    if (pos >= len) {
        vx_malformed(aTHX_ d, "value expected at offset %" UVuf ", message ends", VX_OFF(pos));
        return NULL;
    }
    tag = b[pos];
    switch (tag) {
        case VX_T_STRING:
        case VX_T_BYTES: {
            U32 n;
            const U8* text;
            int wide = 0;
            SV* value;
            if (len - pos < 5) {
                vx_malformed(aTHX_ d, "length of a %s at offset %" UVuf " is cut off",
                             tag == VX_T_STRING ? "string" : "byte string", VX_OFF(pos));
                return NULL;
            }
            n = vx_u32(b + pos + 1);
            if (n > len - pos - 5) {
                vx_malformed(aTHX_ d, "string at offset %" UVuf " claims %" UVuf " bytes, only %" UVuf " follow",
                             VX_OFF(pos), (UV)n, VX_OFF(len - pos - 5));
                return NULL;
            }
            text = b + pos + 5;
            if (tag == VX_T_STRING) {
                STRLEN ascii = vx_ascii_prefix(text, n);
                if (ascii != n) {
                    if (ascii + VxUtf8InvalidOffset(text + ascii, n - ascii) != n) {
                        vx_malformed(aTHX_ d, "string at offset %" UVuf " is not valid UTF-8", VX_OFF(pos));
                        return NULL;
                    }
                    wide = 1;
                }
            }
            value = newSVpvn((const char*)text, n);
            if (wide) SvUTF8_on(value);
            d->pos = pos + 5 + n;
            return value;
        }
        case VX_T_INT64:
        case VX_T_DOUBLE: {
            U64 bits;
            if (len - pos < 9) {
                vx_malformed(aTHX_ d, "number at offset %" UVuf " is cut off", VX_OFF(pos));
                return NULL;
            }
            bits = vx_u64(b + pos + 1);
            d->pos = pos + 9;
            if (tag == VX_T_INT64) return newSViv((IV)(I64)bits);
            {
                double number;
                memcpy(&number, &bits, sizeof number);
                return newSVnv((NV)number);
            }
        }
        case VX_T_NULL: d->pos = pos + 1; return newSV(0);
        case VX_T_TRUE:
        case VX_T_FALSE: d->pos = pos + 1; return newSVbool(tag == VX_T_TRUE);
        case VX_T_LIST:
        case VX_T_MAP: return vx_decode_container(aTHX_ d, mode, depth, tag);
        case VX_T_HANDLE: return vx_decode_handle(aTHX_ d, mode);
        case VX_T_COMMAND:
            vx_malformed(aTHX_ d, "a command at offset %" UVuf " may only appear as a command argument", VX_OFF(pos));
            return NULL;
        default: vx_malformed(aTHX_ d, "unknown type tag %d at offset %" UVuf, (int)tag, VX_OFF(pos)); return NULL;
    }
}

static SSize_t vx_add_item(pTHX_ VxDecoder* d) {
    STRLEN need = (STRLEN)(d->itemCount + 1) * sizeof(VxItem);
    if (SvLEN(d->items) < need) SvGROW(d->items, need * 2);
    return d->itemCount++;
}

#define VX_ITEM(d, i) (((VxItem*)SvPVX((d)->items))[i])

static int vx_decode_command(pTHX_ VxDecoder* d, U8 type, int depth) {
    const U8* b = d->data;
    STRLEN pos = d->pos, len = d->length;
    U32 argc, i;
    SSize_t self;
    VxHandleMode mode = type == VX_CMD_DESTRUCT_REFERENCE ? VX_HANDLES_IDS : VX_HANDLES_RESOLVE;
    if (len - pos < 5) {
        vx_malformed(aTHX_ d, "command body at offset %" UVuf " is cut off (flags and argument count need 5 bytes)",
                     VX_OFF(pos));
        return 0;
    }
    argc = vx_u32(b + pos + 1);
    if (argc > len - pos - 5) {
        vx_malformed(aTHX_ d, "command at offset %" UVuf " claims %" UVuf " arguments, only %" UVuf " bytes follow",
                     VX_OFF(pos), (UV)argc, VX_OFF(len - pos - 5));
        return 0;
    }
    self = vx_add_item(aTHX_ d);
    VX_ITEM(d, self).value = NULL;
    VX_ITEM(d, self).argc = argc;
    VX_ITEM(d, self).type = type;
    VX_ITEM(d, self).flags = b[pos];
    d->pos = pos + 5;
    for (i = 0; i < argc; ++i) {
        STRLEN at = d->pos;
        if (at < len && b[at] == VX_T_COMMAND) {
            if (len - at < 2) {
                vx_malformed(aTHX_ d, "nested command at offset %" UVuf " is cut off", VX_OFF(at));
                return 0;
            }
            if (depth >= VX_MAX_DEPTH) {
                vx_malformed(aTHX_ d, "commands nested deeper than %d levels", VX_MAX_DEPTH);
                return 0;
            }
            d->pos = at + 2;
            if (!vx_decode_command(aTHX_ d, b[at + 1], depth + 1)) return 0;
        } else {
            SV* value = VxDecodeValue(aTHX_ d, mode, depth);
            SSize_t item;
            if (value == NULL) return 0;
            item = vx_add_item(aTHX_ d);
            VX_ITEM(d, item).value = sv_2mortal(value);
            VX_ITEM(d, item).argc = 0;
        }
    }
    return 1;
}

/* A whole command message into d->items (the command first, then its arguments in order). */
int VxDecodeMessage(pTHX_ VxDecoder* d) {
    d->itemCount = 0;
    if (d->length < VX_HEADER_LENGTH) {
        vx_malformed(aTHX_ d, "message of %" UVuf " bytes is shorter than the %d-byte header", VX_OFF(d->length),
                     VX_HEADER_LENGTH);
        return 0;
    }
    d->pos = VX_HEADER_LENGTH;
    if (!vx_decode_command(aTHX_ d, d->data[VX_HEADER_LENGTH - 1], 0)) return 0;
    if (d->pos != d->length) {
        vx_malformed(aTHX_ d, "%" UVuf " bytes left over after the command at offset %" UVuf,
                     VX_OFF(d->length - d->pos), VX_OFF(d->pos));
        return 0;
    }
    return 1;
}

int VxDecodeResponse(pTHX_ VxDecoder* d, int* type, SV** value) {
    SV* decoded;
    if (d->length < VX_HEADER_LENGTH) {
        vx_malformed(aTHX_ d, "response of %" UVuf " bytes is shorter than the %d-byte header", VX_OFF(d->length),
                     VX_HEADER_LENGTH);
        return 0;
    }
    *type = d->data[VX_HEADER_LENGTH - 1];
    d->pos = VX_HEADER_LENGTH;
    decoded = VxDecodeValue(aTHX_ d, VX_HANDLES_OBJECTS, 0);
    if (decoded == NULL) return 0;
    if (d->pos != d->length) {
        SvREFCNT_dec(decoded);
        vx_malformed(aTHX_ d, "%" UVuf " bytes left over after the response value at offset %" UVuf,
                     VX_OFF(d->length - d->pos), VX_OFF(d->pos));
        return 0;
    }
    *value = decoded;
    return 1;
}

SV* VxMessageBytes(pTHX_ SV* message, const char* what, SV** error) {
    SV* copy;
    if (!SvUTF8(message)) return message;
    copy = sv_mortalcopy(message);
    if (!sv_utf8_downgrade(copy, TRUE)) {
        vx_set_error(aTHX_ error, newSVpvf("Malformed command: %s holds characters above 0xFF, not bytes\n", what));
        return NULL;
    }
    return copy;
}

/* ---------------------------------------------------------------------------------------------------- */
/* Encoding */

char* VxRoom(pTHX_ SV* out, STRLEN extra) {
    STRLEN need = SvCUR(out) + extra + 1;
    if (need > SvLEN(out)) {
        STRLEN doubled = SvLEN(out) * 2;
        SvGROW(out, doubled > need ? doubled : need);
    }
    return SvPVX(out) + SvCUR(out);
}

static void vx_put(pTHX_ SV* out, const void* bytes, STRLEN n) {
    char* at = VxRoom(aTHX_ out, n);
    memcpy(at, bytes, n);
    SvCUR_set(out, SvCUR(out) + n);
}

void VxPutByte(pTHX_ SV* out, U8 byte) {
    char* at = VxRoom(aTHX_ out, 1);
    *at = (char)byte;
    SvCUR_set(out, SvCUR(out) + 1);
}

void VxPutU32(pTHX_ SV* out, U32 value) {
    U8 bytes[4] = {(U8)value, (U8)(value >> 8), (U8)(value >> 16), (U8)(value >> 24)};
    vx_put(aTHX_ out, bytes, 4);
}

static void vx_put_u64(pTHX_ SV* out, U64 value) {
    U8 bytes[8];
    int i;
    for (i = 0; i < 8; ++i) bytes[i] = (U8)(value >> (8 * i));
    vx_put(aTHX_ out, bytes, 8);
}

static void vx_patch_u32(SV* out, STRLEN at, U32 value) {
    U8* p = (U8*)SvPVX(out) + at;
    p[0] = (U8)value;
    p[1] = (U8)(value >> 8);
    p[2] = (U8)(value >> 16);
    p[3] = (U8)(value >> 24);
}

void VxPutResponseHeader(pTHX_ SV* out, const U8* message, STRLEN length, U8 type) {
    U8 header[VX_HEADER_LENGTH] = {0};
    header[0] = length > 9 ? message[9] : 0;
    header[9] = length > 0 ? message[0] : 4;
    header[VX_HEADER_LENGTH - 1] = type;
    vx_put(aTHX_ out, header, sizeof header);
}

/* Latin-1 text as UTF-8. */
static void vx_put_latin1(pTHX_ SV* out, const U8* bytes, STRLEN n) {
    U8* at = (U8*)VxRoom(aTHX_ out, 2 * n);
    U8* start = at;
    STRLEN i;
    for (i = 0; i < n; ++i) {
        if (bytes[i] < 0x80) {
            *at++ = bytes[i];
        } else {
            *at++ = (U8)(0xC0 | (bytes[i] >> 6));
            *at++ = (U8)(0x80 | (bytes[i] & 0x3F));
        }
    }
    SvCUR_set(out, SvCUR(out) + (STRLEN)(at - start));
}

static int vx_fail(pTHX_ VxEncoder* e, SV* text) {
    vx_set_error(aTHX_ & e->error, text);
    return 0;
}

static int vx_put_string(pTHX_ VxEncoder* e, U8 tag, const char* bytes, STRLEN n) {
    if (n > (STRLEN)0xffffffffu)
        return vx_fail(aTHX_ e, newSVpvf("A string of %" UVuf " bytes does not fit a command\n", VX_OFF(n)));
    VxRoom(aTHX_ e->out, n + 5);
    VxPutByte(aTHX_ e->out, tag);
    VxPutU32(aTHX_ e->out, (U32)n);
    vx_put(aTHX_ e->out, bytes, n);
    return 1;
}

/* A Perl string: character strings travel as their UTF-8, which must be well-formed (Perl's own may hold
   surrogates or code points above U+10FFFF); byte strings are bytes when they hold a high byte. */
static int vx_encode_string(pTHX_ VxEncoder* e, const char* bytes, STRLEN n, int utf8) {
    STRLEN ascii = vx_ascii_prefix((const U8*)bytes, n);
    if (ascii != n && utf8) {
        STRLEN bad = ascii + VxUtf8InvalidOffset((const U8*)bytes + ascii, n - ascii);
        if (bad != n)
            return vx_fail(aTHX_ e, newSVpvf("Cannot send a string holding a surrogate or a code point above "
                                             "U+10FFFF (at byte %" UVuf ")\n",
                                             VX_OFF(bad)));
    }
    return vx_put_string(aTHX_ e, (ascii == n || utf8) ? VX_T_STRING : VX_T_BYTES, bytes, n);
}

static int vx_encode(pTHX_ VxEncoder* e, SV* value, int byValue, int depth);

static int vx_too_deep(pTHX_ VxEncoder* e) {
    return vx_fail(aTHX_ e, newSVpvf("Value nested deeper than %d levels (or a reference cycle)\n", VX_MAX_DEPTH));
}

/* The elements of an array as a list. */
int VxEncodeList(pTHX_ VxEncoder* e, AV* array, int byValue, int depth) {
    SSize_t n = av_count(array), i;
    VxPutByte(aTHX_ e->out, VX_T_LIST);
    VxPutU32(aTHX_ e->out, (U32)n);
    for (i = 0; i < n; ++i) {
        SV** element = av_fetch(array, i, 0);
        SV* v = element != NULL ? *element : &PL_sv_undef;
        SvGETMAGIC(v);
        if (!vx_encode(aTHX_ e, v, byValue, depth)) return 0;
    }
    return 1;
}

/* Keys are strings (bytes when a non-UTF-8 key has a high byte). */
int VxEncodeMap(pTHX_ VxEncoder* e, HV* hash, int byValue, int depth) {
    STRLEN countAt;
    U32 count = 0;
    HE* entry;
    VxPutByte(aTHX_ e->out, VX_T_MAP);
    countAt = SvCUR(e->out);
    VxPutU32(aTHX_ e->out, 0);
    hv_iterinit(hash);
    while ((entry = hv_iternext(hash)) != NULL) {
        SV* v;
        int ok;
        if (HeKLEN(entry) == HEf_SVKEY) {
            STRLEN n;
            SV* key = HeSVKEY(entry);
            const char* bytes = SvPV(key, n);
            ok = vx_encode_string(aTHX_ e, bytes, n, SvUTF8(key) ? 1 : 0);
        } else if (HeKWASUTF8(entry)) {
            /* A character key Perl keeps in Latin-1. */
            STRLEN lengthAt;
            VxPutByte(aTHX_ e->out, VX_T_STRING);
            lengthAt = SvCUR(e->out);
            VxPutU32(aTHX_ e->out, 0);
            vx_put_latin1(aTHX_ e->out, (const U8*)HeKEY(entry), (STRLEN)HeKLEN(entry));
            vx_patch_u32(e->out, lengthAt, (U32)(SvCUR(e->out) - lengthAt - 4));
            ok = 1;
        } else {
            ok = vx_encode_string(aTHX_ e, HeKEY(entry), (STRLEN)HeKLEN(entry), HeKUTF8(entry) ? 1 : 0);
        }
        if (!ok) return 0;
        v = hv_iterval(hash, entry);
        SvGETMAGIC(v);
        if (!vx_encode(aTHX_ e, v, byValue, depth)) return 0;
        ++count;
    }
    vx_patch_u32(e->out, countAt, count);
    return 1;
}

static int vx_put_handle(pTHX_ VxEncoder* e, UV id, const char* name, STRLEN n) {
    VxPutByte(aTHX_ e->out, VX_T_HANDLE);
    vx_put_u64(aTHX_ e->out, (U64)id);
    VxPutU32(aTHX_ e->out, (U32)n);
    vx_put(aTHX_ e->out, name, n);
    return 1;
}

/* Stores a reference in the receiver's table and writes its handle (the type name is what ref() says). */
int VxEncodeHandle(pTHX_ VxEncoder* e, SV* reference) {
    UV id = (*e->nextId)++;
    SV* target = SvRV(reference);
    (void)hv_store(e->handles, (const char*)(&id), VX_KEY_LENGTH, newSVsv(reference), 0);
    if (SvOBJECT(target)) {
        HV* stash = SvSTASH(target);
        return vx_put_handle(aTHX_ e, id, HvNAME_get(stash), (STRLEN)HvNAMELEN_get(stash));
    } else {
        const char* kind = sv_reftype(target, 0);
        return vx_put_handle(aTHX_ e, id, kind, strlen(kind));
    }
}

static int vx_encode_ref(pTHX_ VxEncoder* e, SV* value, int byValue, int depth) {
    SV* target = SvRV(value);
    if (SvOBJECT(target)) {
        const char* name = HvNAME_get(SvSTASH(target));
        if (name != NULL && (strEQ(name, VX_HANDLE_CLASS) || strEQ(name, VX_CLIENT_HANDLE_CLASS)) &&
            SvTYPE(target) == SVt_PVHV) {
            SV** id = hv_fetchs((HV*)target, "id", 0);
            SV** type = hv_fetchs((HV*)target, "type", 0);
            STRLEN n = 0;
            const char* typeName = "";
            if (type != NULL && SvOK(*type)) typeName = SvPVutf8(*type, n);
            return vx_put_handle(aTHX_ e, id != NULL ? SvUV(*id) : 0, typeName, n);
        }
        if (name != NULL && strEQ(name, VX_COMMAND_CLASS))
            return vx_fail(aTHX_ e, newSVpvs("A command can only be an argument of another command\n"));
    } else if (byValue && (SvTYPE(target) == SVt_PVAV || SvTYPE(target) == SVt_PVHV)) {
        if (depth >= VX_MAX_DEPTH) return vx_too_deep(aTHX_ e);
        return SvTYPE(target) == SVt_PVAV ? VxEncodeList(aTHX_ e, (AV*)target, byValue, depth + 1)
                                          : VxEncodeMap(aTHX_ e, (HV*)target, byValue, depth + 1);
    }
    if (e->handles == NULL)
        return vx_fail(aTHX_ e, newSVpvf("Cannot send a Perl reference (%" SVf ") in this direction\n",
                                         SVfARG(sv_ref(NULL, target, TRUE))));
    return VxEncodeHandle(aTHX_ e, value);
}

/* The value's get-magic has run. */
static int vx_encode(pTHX_ VxEncoder* e, SV* value, int byValue, int depth) {
    if (SvROK(value)) return vx_encode_ref(aTHX_ e, value, byValue, depth);
    if (!SvOK(value)) {
        VxPutByte(aTHX_ e->out, VX_T_NULL);
        return 1;
    }
    /* Created as a number: numeric flags without a string form. */
    if (SvNIOK(value) && !SvPOK(value)) {
        if (!SvIOK(value)) {
            NV nv = SvNV_nomg(value);
            double number = (double)nv;
            U64 bits;
            memcpy(&bits, &number, sizeof bits);
            VxPutByte(aTHX_ e->out, VX_T_DOUBLE);
            vx_put_u64(aTHX_ e->out, bits);
        } else if (SvIsUV(value) && SvUVX(value) > (UV)IV_MAX) {
            /* Unsigned values beyond the signed range keep their exact digits. */
            char digits[32];
            int n = snprintf(digits, sizeof digits, "%" UVuf, SvUVX(value));
            return vx_put_string(aTHX_ e, VX_T_STRING, digits, (STRLEN)n);
        } else {
            VxPutByte(aTHX_ e->out, VX_T_INT64);
            vx_put_u64(aTHX_ e->out, (U64)SvIVX(value));
        }
        return 1;
    }
    if (SvIsBOOL(value)) {
        VxPutByte(aTHX_ e->out, SvTRUE_nomg(value) ? VX_T_TRUE : VX_T_FALSE);
        return 1;
    }
    {
        STRLEN n;
        const char* bytes = SvPV_nomg(value, n);
        return vx_encode_string(aTHX_ e, bytes, n, SvUTF8(value) ? 1 : 0);
    }
}

int VxEncodeValue(pTHX_ VxEncoder* e, SV* value, int byValue, int depth) {
    SvGETMAGIC(value);
    return vx_encode(aTHX_ e, value, byValue, depth);
}

/* The elements of an array as a C array (a tied array's are fetched into a mortal buffer). */
SV** VxElements(pTHX_ AV* array, SSize_t* count) {
    SSize_t n = av_count(array), i;
    SV** elements;
    *count = n;
    if (!SvRMAGICAL(array)) return AvARRAY(array);
    elements = (SV**)SvPVX(sv_2mortal(newSV((STRLEN)(n + 1) * sizeof(SV*))));
    for (i = 0; i < n; ++i) {
        SV** element = av_fetch(array, i, 0);
        elements[i] = element != NULL ? *element : &PL_sv_undef;
    }
    return elements;
}

/* Arguments that are Veltrix::Core::Protocol::Command objects become nested commands; unblessed arrays
   and hashes travel as lists and maps. */
int VxEncodeCommandBody(pTHX_ VxEncoder* e, U8 flags, SV* const* args, SSize_t n, int depth) {
    SSize_t i;
    VxPutByte(aTHX_ e->out, flags);
    VxPutU32(aTHX_ e->out, (U32)n);
    for (i = 0; i < n; ++i) {
        SV* arg = args[i] != NULL ? args[i] : &PL_sv_undef;
        SvGETMAGIC(arg);
        if (SvROK(arg) && SvOBJECT(SvRV(arg)) && SvTYPE(SvRV(arg)) == SVt_PVHV &&
            sv_derived_from(arg, VX_COMMAND_CLASS)) {
            HV* command = (HV*)SvRV(arg);
            SV** type = hv_fetchs(command, "type", 0);
            SV** innerFlags = hv_fetchs(command, "flags", 0);
            SV** innerArgs = hv_fetchs(command, "args", 0);
            SV** elements;
            SSize_t count;
            if (depth >= VX_MAX_DEPTH)
                return vx_fail(aTHX_ e, newSVpvf("Commands nested deeper than %d levels\n", VX_MAX_DEPTH));
            if (innerArgs == NULL || !SvROK(*innerArgs) || SvTYPE(SvRV(*innerArgs)) != SVt_PVAV)
                return vx_fail(aTHX_ e, newSVpvs("A nested command needs its arguments as an array\n"));
            VxPutByte(aTHX_ e->out, VX_T_COMMAND);
            VxPutByte(aTHX_ e->out, (U8)(type != NULL ? SvUV(*type) : 0));
            elements = VxElements(aTHX_(AV*) SvRV(*innerArgs), &count);
            if (!VxEncodeCommandBody(aTHX_ e, (U8)(innerFlags != NULL && SvOK(*innerFlags) ? SvUV(*innerFlags) : 0),
                                     elements, count, depth + 1))
                return 0;
        } else if (!vx_encode(aTHX_ e, arg, 1, depth)) {
            return 0;
        }
    }
    return 1;
}

/* A text for a person (an exception's message, class or stack) as a UTF-8 string: a character string
   keeps its well-formed characters (U+FFFD for the rest), a byte string is kept when it is UTF-8 already
   and read as Latin-1 otherwise. */
void VxEncodeText(pTHX_ VxEncoder* e, SV* text) {
    STRLEN n, i, lengthAt;
    const U8* bytes = (const U8*)SvPV(text, n);
    STRLEN bad = VxUtf8InvalidOffset(bytes, n);
    if (bad == n) {
        (void)vx_put_string(aTHX_ e, VX_T_STRING, (const char*)bytes, n);
        return;
    }
    VxPutByte(aTHX_ e->out, VX_T_STRING);
    lengthAt = SvCUR(e->out);
    VxPutU32(aTHX_ e->out, 0);
    if (SvUTF8(text)) {
        i = 0;
        while (i < n) {
            STRLEN run = VxUtf8InvalidOffset(bytes + i, n - i);
            vx_put(aTHX_ e->out, bytes + i, run);
            i += run;
            if (i < n) {
                vx_put(aTHX_ e->out, "\xEF\xBF\xBD", 3);
                ++i;
            }
        }
    } else {
        vx_put_latin1(aTHX_ e->out, bytes, n);
    }
    vx_patch_u32(e->out, lengthAt, (U32)(SvCUR(e->out) - lengthAt - 4));
}
