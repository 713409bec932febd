/* crypt.h for the release build (cmake/zig.cmake), searched after every other folder: zig's C
   library headers have none (crypt() is libcrypt's), and Python.h of CPython 3.6 to 3.8 includes
   it for the interpreter's crypt module. The module calls nothing declared here. */
#ifndef COMPETITION_ZIG_CRYPT_H
#define COMPETITION_ZIG_CRYPT_H
#ifdef __cplusplus
extern "C" {
#endif
char* crypt(const char* phrase, const char* setting);
#ifdef __cplusplus
}
#endif
#endif
