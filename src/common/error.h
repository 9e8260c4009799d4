// The library's one error text and the printf-style function that fills it.
#pragma once

#if defined(__MINGW32__)
// mingw's C99 printf is the one in use (plain "printf" would check msvcrt's).
#define VEERPIX_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define VEERPIX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VEERPIX_PRINTF(fmt, args)
#endif

// Replaces the error text; a result longer than 511 characters is cut.
void set_err(const char* format, ...) VEERPIX_PRINTF(1, 2);

// Makes the error text empty; every export starts with it.
void clear_err();
