/* Python 3.8's Python.h includes <crypt.h>, which zig's glibc headers do not
   carry (it belongs to libxcrypt). The module calls nothing from it; this
   declares what POSIX puts there, for tools/zig-cxx only. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
char* crypt(const char* key, const char* salt);
#ifdef __cplusplus
}
#endif
