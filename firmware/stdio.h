// Number and string formatting into caller-owned character buffers.
#ifndef FIRMWARE_STDIO_H
#define FIRMWARE_STDIO_H

#include <stdarg.h>
#include <stddef.h>

int PutChar(char *pStr, char c);
int PutString(char *pStr, const char *pSource);
int PutUnsignedInt(char *pStr, char fill, int width, unsigned int value);
int PutSignedInt(char *pStr, char fill, int width, int value);
int PutHexa(char *pStr, char fill, int width, unsigned char maj, unsigned int value);

// On the host these three live apart from the C library's routines of the
// same names, which they do not behave like.
#if defined(FW_HOST)
namespace fw {
#endif
// Conversions: d i u x X s c, with an optional '0' fill flag right after '%'
// and a width (modulo 256). `length` bounds ordinary characters and fill, not
// a conversion's own characters. Returns the number of characters before the
// terminator; -1 for any other conversion character (what was stored stays,
// unterminated) and for a null pStr or a length of 0 (nothing is stored).
int vsnprintf(char *pStr, size_t length, const char *pFormat, va_list ap);
int snprintf(char *pString, size_t length, const char *pFormat, ...);
int vsprintf(char *pString, const char *pFormat, va_list ap);
#if defined(FW_HOST)
}
#endif

#endif
