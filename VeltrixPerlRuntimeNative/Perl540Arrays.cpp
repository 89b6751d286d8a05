// Perl540Arrays.cpp: the one conversion each way between byte arrays and Perl arrays, and the XS routines
// built on it.
#include "Perl540Arrays.h"

namespace VeltrixNS::Runtimes::Perl::Native::Embedded {

namespace {

// Byte conversions for the receiver module, which uses them when they exist (pack/unpack otherwise).
const char* const bytesFromArrayRoutine = "Veltrix::Native::Perl540Launcher::bytes_from_array";
const char* const arrayFromBytesRoutine = "Veltrix::Native::Perl540Launcher::array_from_bytes";

// Element i, looked up afresh: converting an earlier element may have run code that changed the array.
SV* elementAt(pTHX_ AV* array, SSize_t i) {
    if (!SvRMAGICAL(array)) return i <= AvFILLp(array) ? AvARRAY(array)[i] : nullptr;
    SV** fetched = av_fetch(array, i, 0);
    return fetched != nullptr ? *fetched : nullptr;
}

// A new byte string with room for length bytes and a NUL.
SV* newByteString(pTHX_ SSize_t length) {
    SV* bytes = sv_2mortal(newSV(static_cast<STRLEN>(length) + 1));
    SvPOK_on(bytes);
    return bytes;
}

void finishByteString(pTHX_ SV* bytes, SSize_t length) {
    SvCUR_set(bytes, static_cast<STRLEN>(length));
    SvPVX(bytes)[length] = '\0';
}

XS_INTERNAL(responseBytesXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "arrayref");
    AV* array = reinterpret_cast<AV*>(SvRV(ST(0)));
    SSize_t length = av_count(array);
    SV* bytes = newByteString(aTHX_ length);
    SSize_t converted = ArrayToBytes(aTHX_ array, reinterpret_cast<unsigned char*>(SvPVX(bytes)), 0, length, false);
    finishByteString(aTHX_ bytes, converted);
    SP -= items;
    EXTEND(SP, 3);
    PUSHs(bytes);
    mPUSHi(length);
    PUSHs(converted == length ? &PL_sv_yes : &PL_sv_no);
    PUTBACK;
}

// bytes_from_array(\@array): the elements' low 8 bits as a byte string, as pack('C*', @array) gives
// (missing elements and undef are 0). Runs from Perl code, inside call_pv's eval.
XS_INTERNAL(bytesFromArrayXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "arrayref");
    SV* ref = ST(0);
    SvGETMAGIC(ref);
    if (!SvROK(ref) || SvTYPE(SvRV(ref)) != SVt_PVAV) croak("bytes_from_array: not an array reference");
    AV* array = reinterpret_cast<AV*>(SvRV(ref));
    sv_2mortal(SvREFCNT_inc_simple_NN(reinterpret_cast<SV*>(array)));  // alive whatever FETCH does
    SSize_t length = av_count(array);
    SV* bytes = newByteString(aTHX_ length);
    auto* out = reinterpret_cast<unsigned char*>(SvPVX(bytes));
    for (SSize_t i = ArrayToBytes(aTHX_ array, out, 0, length, false); i < length;
         i = ArrayToBytes(aTHX_ array, out, i + 1, length, false)) {
        out[i] = 0;  // a missing element
    }
    finishByteString(aTHX_ bytes, length);
    ST(0) = bytes;
    XSRETURN(1);
}

// array_from_bytes($bytes): a new array reference with one integer per byte, as [unpack('C*', $bytes)]
// gives; of a character string one number per character, as unpack gives too.
XS_INTERNAL(arrayFromBytesXs) {
    dXSARGS;
    if (items != 1) croak_xs_usage(cv, "bytes");
    STRLEN length = 0;
    const char* text = SvPV(ST(0), length);
    AV* array;
    if (!SvUTF8(ST(0))) {
        array = NewByteArray(aTHX_ reinterpret_cast<const unsigned char*>(text), static_cast<SSize_t>(length));
    } else {
        array = newAV();
        const U8* in = reinterpret_cast<const U8*>(text);
        const U8* end = in + length;
        while (in < end) {
            STRLEN consumed = 0;
            av_push(array, newSVuv(utf8_to_uvchr_buf(in, end, &consumed)));
            in += consumed > 0 ? consumed : 1;
        }
    }
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(array)));
    XSRETURN(1);
}

}  // namespace

AV* NewByteArray(pTHX_ const unsigned char* bytes, SSize_t length) {
    if (length <= 0) return newAV();
    // Sized once: one integer per byte, in order, as pushing them one by one would give.
    AV* array = newAV_alloc_x(length);
    SV** elements = AvARRAY(array);
    for (SSize_t i = 0; i < length; ++i) elements[i] = newSViv(bytes[i]);
    AvFILLp(array) = length - 1;
    return array;
}

SSize_t ArrayToBytes(pTHX_ AV* array, unsigned char* out, SSize_t from, SSize_t length, bool plainOnly) {
    if (plainOnly && SvRMAGICAL(array)) return from;  // a tied array's FETCH is Perl code
    SSize_t i = from;
    for (; i < length; ++i) {
        SV* element = elementAt(aTHX_ array, i);
        if (element == nullptr) break;
        if (SvIOK_nog(element)) {
            out[i] = static_cast<unsigned char>(SvIVX(element));
        } else if (!SvOK(element) && !SvGMAGICAL(element)) {
            out[i] = 0;
        } else if (plainOnly) {
            break;
        } else {
            out[i] = static_cast<unsigned char>(SvIV(element));
        }
    }
    return i;
}

void RegisterArrayRoutines(pTHX) {
    static const char file[] = "Perl540Arrays.cpp";
    newXS(ResponseBytesRoutine, responseBytesXs, file);
    newXS(bytesFromArrayRoutine, bytesFromArrayXs, file);
    newXS(arrayFromBytesRoutine, arrayFromBytesXs, file);
}

}  // namespace VeltrixNS::Runtimes::Perl::Native::Embedded
