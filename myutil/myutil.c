/* The stdio shim: thin exports with the standard library's behaviour under
 * "my_" names. The engine reaches stdio, printf-style formatting and number
 * parsing only through these, resolved at run time like the media libraries.
 * Every function is thread-safe to the extent its standard namesake is,
 * except my_strtok, which keeps its state per thread (callers split one
 * string at a time on one thread). */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int my_vsprintf(char *buf, const char *fmt, va_list ap) { return vsprintf(buf, fmt, ap); }

EXPORT int my_fprintf(FILE *f, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vfprintf(f, fmt, ap);
    va_end(ap);
    return r;
}

EXPORT int my_snprintf(char *buf, size_t n, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(buf, n, fmt, ap);
    va_end(ap);
    return r;
}

EXPORT FILE *my_fopen(const char *name, const char *mode) { return fopen(name, mode); }
EXPORT long my_ftell(FILE *f) { return ftell(f); }
EXPORT size_t my_fread(void *p, size_t size, size_t n, FILE *f) { return fread(p, size, n, f); }
EXPORT size_t my_fwrite(const void *p, size_t size, size_t n, FILE *f) { return fwrite(p, size, n, f); }
EXPORT int my_fseek(FILE *f, long off, int origin) { return fseek(f, off, origin); }
EXPORT int my_fclose(FILE *f) { return fclose(f); }

EXPORT char *my_strtok(char *s, const char *delim)
{
    static __thread char *save;
    return strtok_r(s, delim, &save);
}

EXPORT long my_strtol(const char *s, char **end, int base) { return strtol(s, end, base); }
EXPORT double my_strtod(const char *s, char **end) { return strtod(s, end); }
