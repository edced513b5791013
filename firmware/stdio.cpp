// Number and string formatting into caller-owned character buffers.
//
// Digits come out most significant first through recursion, one level per
// digit, so there is no digit buffer and no digit table: at most 10 levels
// for decimal and 8 for hexadecimal bound the stack. The least significant
// level is the outermost call; it learns from the inner calls how many
// characters precede its own digit.
//
// A field is fill, then '-' for a negative value, then the digits. The fill
// always goes before the sign, whatever the fill character ('00-42').
#include "stdio.h"

namespace {

// Stores `count` fill characters from pStr on, none when count <= 0, and
// returns how many it stored.
int PutFill(char *pStr, char fill, int count)
{
    int n = 0;
    while (count > 0) {
        pStr[n] = fill;
        n++;
        count--;
    }
    return n;
}

// Each recursion level hands the next one width - 1. A width at or below
// zero means no fill; holding it at zero keeps the subtraction from
// overflowing for the most negative int, and changes no field.
inline int NonNegative(int width)
{
    return width > 0 ? width : 0;
}

} // namespace

int PutChar(char *pStr, char c)
{
    *pStr = c;
    return 1;
}

int PutString(char *pStr, const char *pSource)
{
    int num = 0;
    while (pSource[num] != 0) {
        pStr[num] = pSource[num];
        num++;
    }
    return num;
}

int PutUnsignedInt(char *pStr, char fill, int width, unsigned int value)
{
    int w = NonNegative(width) - 1;
    int n;
    if (value > 9) {
        n = PutUnsignedInt(pStr, fill, w, value / 10);
    } else {
        n = PutFill(pStr, fill, w);
    }
    pStr[n] = static_cast<char>('0' + value % 10);
    return n + 1;
}

int PutSignedInt(char *pStr, char fill, int width, int value)
{
    // Magnitude as unsigned two's-complement negation, so that the most
    // negative int is written in full and nothing overflows.
    unsigned int s = value < 0 ? ~0u : 0u;
    unsigned int absolute = (static_cast<unsigned int>(value) + s) ^ s;
    width = NonNegative(width);
    int w = width - 1;
    int n;
    if (absolute > 9) {
        // The quotient keeps the value's sign so that the sign reaches the
        // level of the most significant digit, the only one that writes it.
        int q = static_cast<int>(absolute / 10);
        n = PutSignedInt(pStr, fill, w, value < 0 ? -q : q);
    } else {
        if (value < 0) {
            w = width - 2;  // room for the sign and this digit
        }
        n = PutFill(pStr, fill, w);
        if (value < 0) {
            pStr[n] = '-';
            n++;
        }
    }
    pStr[n] = static_cast<char>('0' + absolute % 10);
    return n + 1;
}

int PutHexa(char *pStr, char fill, int width, unsigned char maj, unsigned int value)
{
    int w = NonNegative(width) - 1;
    int n;
    if ((value >> 4) != 0) {
        n = PutHexa(pStr, fill, w, maj, value >> 4);
    } else {
        n = PutFill(pStr, fill, w);
    }
    unsigned int d = value & 0xF;
    char digit;
    if (d <= 9) {
        digit = static_cast<char>(0x30 + d);
    } else if (maj != 0) {
        digit = static_cast<char>(0x37 + d);
    } else {
        digit = static_cast<char>(0x57 + d);
    }
    pStr[n] = digit;
    return n + 1;
}

#if defined(FW_HOST)
namespace fw {
#endif

// `length` bounds ordinary characters and fill only. A conversion that starts
// while there is room is written whole, so at most the last one runs past
// `length`; the caller leaves room for that. The result counts the
// characters before the terminator, or is -1 for a character after '%' that
// is not a conversion (what was stored stays, unterminated).
//
// Called with no buffer (null pStr) or no room (length 0) it stores nothing
// at all, not even a terminator, reads neither the format nor the arguments,
// and returns -1: there is no text for a count to describe.
int vsnprintf(char *pStr, size_t length, const char *pFormat, va_list ap)
{
    if (pStr == nullptr || length == 0) {
        return -1;
    }
    *pStr = 0;

    int size = 0;
    while (*pFormat != 0 && static_cast<size_t>(size) < length) {
        if (*pFormat != '%') {
            pStr[size] = *pFormat;
            pFormat++;
            size++;
            continue;
        }
        if (pFormat[1] == '%') {
            pStr[size] = '%';
            pFormat += 2;
            size++;
            continue;
        }

        // A directive: '%', the '0' flag only as the very next character,
        // a width taken modulo 256, one conversion character.
        pFormat++;
        char fill = ' ';
        if (*pFormat == '0') {
            fill = '0';
            pFormat++;
        }
        unsigned char width = 0;
        while (*pFormat >= '0' && *pFormat <= '9') {
            width = static_cast<unsigned char>(width * 10 + (*pFormat - '0'));
            pFormat++;
        }
        // The room left includes the position the terminator may take.
        if (static_cast<size_t>(size) + width > length) {
            width = static_cast<unsigned char>(length - static_cast<size_t>(size));
        }

        char *pos = pStr + size;
        int num;
        switch (*pFormat) {
        case 'd':
        case 'i':
            num = PutSignedInt(pos, fill, width, va_arg(ap, int));
            break;
        case 'u':
            num = PutUnsignedInt(pos, fill, width, va_arg(ap, unsigned int));
            break;
        case 'x':
            num = PutHexa(pos, fill, width, 0, va_arg(ap, unsigned int));
            break;
        case 'X':
            num = PutHexa(pos, fill, width, 1, va_arg(ap, unsigned int));
            break;
        case 's':
            num = PutString(pos, va_arg(ap, const char *));
            break;
        case 'c':
            num = PutChar(pos, static_cast<char>(va_arg(ap, int)));
            break;
        default:
            return -1;
        }
        pFormat++;
        size += num;
    }

    if (static_cast<size_t>(size) < length) {
        pStr[size] = 0;
        return size;
    }
    // The last character stored gives its place to the terminator.
    pStr[size - 1] = 0;
    return size - 1;
}

int snprintf(char *pString, size_t length, const char *pFormat, ...)
{
    va_list ap;
    va_start(ap, pFormat);
    int rc = vsnprintf(pString, length, pFormat, ap);
    va_end(ap);
    return rc;
}

int vsprintf(char *pString, const char *pFormat, va_list ap)
{
    return vsnprintf(pString, 100, pFormat, ap);
}

#if defined(FW_HOST)
} // namespace fw
#endif
