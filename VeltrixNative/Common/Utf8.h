/* Utf8.h: the one UTF-8 rule of the command format (well-formed UTF-8 as RFC 3629 defines it: no overlong
   forms, no surrogates, nothing above U+10FFFF), shared by the C codec, the C++ codec and the server.
   Plain C so that XS code can include it. */
#ifndef VELTRIX_UTF8_H
#define VELTRIX_UTF8_H

#include <stddef.h>
#include <stdint.h>

/* Offset of the first byte that does not start a well-formed sequence, or `length` when all are valid. */
static inline size_t VeltrixUtf8InvalidOffset(const unsigned char* text, size_t length) {
    size_t i = 0;
    while (i < length) {
        unsigned char c = text[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        unsigned char low = 0x80, high = 0xBF; /* allowed range of the second byte */
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) low = 0xA0;  /* overlong */
            if (c == 0xED) high = 0x9F; /* surrogates */
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) low = 0x90;  /* overlong */
            if (c == 0xF4) high = 0x8F; /* above U+10FFFF */
        } else {
            return i;
        }
        if (length - i <= need) return i;
        if (text[i + 1] < low || text[i + 1] > high) return i;
        for (size_t k = 2; k <= need; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) return i;
        }
        i += need + 1;
    }
    return length;
}

#endif
