# The release build: zig's clang and linker as the C++ compiler, linking against glibc 2.17's
# symbol versions (manylinux2014), so that the module loads on any Linux with glibc 2.17 or later.
#
#   cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DPython_EXECUTABLE=...
#     [-DCOMPETITION_ZIG_TARGET=aarch64-linux-gnu.2.17]   another architecture (default x86-64)
#     [-DCOMPETITION_OPENSSL_ROOT=DIR]   the Debian root whose libssl-dev the native tests link (default /)
#     [-DZIG_EXECUTABLE=...]   zig itself (default: zig on PATH, else the ziglang package of python3)
#
# zig links its own C++ runtime (libc++, libc++abi, libunwind) statically. The native tests'
# libcrypto comes from the root's static libcrypto.a, its headers from the root's
# /usr/include/openssl plus the multiarch folder (opensslconf.h, configuration.h). Neither the
# root's C library headers nor its libraries are seen: zig brings the C library's headers and the
# 2.17 symbol versions.
set(COMPETITION_ZIG_TARGET "x86_64-linux-gnu.2.17" CACHE STRING
  "zig target of the release build: ARCH-linux-gnu.GLIBC_VERSION")
set(COMPETITION_OPENSSL_ROOT "/" CACHE PATH
  "Debian root (/ or an arm64 root) whose libssl-dev provides libcrypto.a and the OpenSSL headers")

if(NOT ZIG_EXECUTABLE)
  find_program(ZIG_EXECUTABLE zig)
endif()
if(NOT ZIG_EXECUTABLE)
  # the ziglang package from PyPI carries the zig executable beside its __init__.py
  find_program(_competition_python3 NAMES python3 python)
  if(_competition_python3)
    execute_process(COMMAND ${_competition_python3} -c
      "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
      OUTPUT_VARIABLE _competition_zig OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _status)
    if(_status EQUAL 0 AND EXISTS "${_competition_zig}")
      set(ZIG_EXECUTABLE "${_competition_zig}" CACHE FILEPATH "zig, the release build's compiler")
    endif()
  endif()
endif()
if(NOT ZIG_EXECUTABLE)
  message(FATAL_ERROR "zig not found: pip install -r requirements/build.txt, and pass -DZIG_EXECUTABLE=")
endif()

# the compiler checks' test projects read this file again
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_EXECUTABLE COMPETITION_ZIG_TARGET COMPETITION_OPENSSL_ROOT)

string(REGEX MATCH "^[^-]+" _competition_arch "${COMPETITION_ZIG_TARGET}")
if(NOT _competition_arch MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "COMPETITION_ZIG_TARGET ${COMPETITION_ZIG_TARGET}: x86_64 or aarch64 expected")
endif()
cmake_host_system_information(RESULT _competition_host QUERY OS_PLATFORM)
if(NOT _competition_arch STREQUAL _competition_host)
  # a cross build: the interpreter is given by its headers (COMPETITION_PYTHON_INCLUDE_DIR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_competition_arch})
endif()
set(CMAKE_CXX_COMPILER "${ZIG_EXECUTABLE}" c++ -target ${COMPETITION_ZIG_TARGET})
set(CMAKE_C_COMPILER "${ZIG_EXECUTABLE}" cc -target ${COMPETITION_ZIG_TARGET})
set(COMPETITION_RELEASE_TOOLCHAIN ON)  # CMakeLists.txt: zig's linker options

# OpenSSL, for the native tests: one include folder with the arch-independent headers and the
# multiarch ones.
set(_competition_tuple ${_competition_arch}-linux-gnu)
set(_competition_crypto "${COMPETITION_OPENSSL_ROOT}/usr/lib/${_competition_tuple}/libcrypto.a")
get_property(_competition_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
# The module itself needs no OpenSSL; the native tests check its decryption against libcrypto's.
if(NOT _competition_try_compile AND EXISTS "${_competition_crypto}")
  set(_competition_ssl_include "${CMAKE_BINARY_DIR}/openssl-${_competition_arch}/include")
  file(REMOVE_RECURSE "${_competition_ssl_include}")
  file(GLOB _headers "${COMPETITION_OPENSSL_ROOT}/usr/include/openssl/*.h"
    "${COMPETITION_OPENSSL_ROOT}/usr/include/${_competition_tuple}/openssl/*.h")
  file(COPY ${_headers} DESTINATION "${_competition_ssl_include}/openssl")
  set(OPENSSL_INCLUDE_DIR "${_competition_ssl_include}" CACHE PATH "OpenSSL headers of the target" FORCE)
  set(OPENSSL_CRYPTO_LIBRARY "${_competition_crypto}" CACHE FILEPATH "the target's static libcrypto" FORCE)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
