// The library's interface state: the one error text and the three exports
// that manage it.
#include "common/error.h"

#include <cstdarg>
#include <cstdio>

#include "veerpix.h"

#if defined(__MINGW32__) && !__USE_MINGW_ANSI_STDIO
#error "the messages need C99 vsnprintf (%zu, a cut text still terminated)"
#endif

namespace {
// Zero-filled at load, so it reads as "" before any call. Process-wide and
// unguarded: hosts call the library from one thread at a time.
char s_err[512];
}  // namespace

void set_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(s_err, sizeof s_err, format, args);
    va_end(args);
}

void clear_err() { s_err[0] = '\0'; }

extern "C" {

VEERPIX_API int veerpix_init(void) {
    clear_err();
    return 1;
}

VEERPIX_API void veerpix_cleanup(void) { clear_err(); }

VEERPIX_API const char* veerpix_last_error(void) { return s_err; }

}  // extern "C"
