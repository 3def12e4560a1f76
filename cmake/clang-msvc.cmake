# Cross-compiles with clang and lld-link for Microsoft's C++ ABI, without
# Microsoft's SDK or runtime, for QT741_TARGET_ARCH (i686: the shipped DLL;
# x86_64), which the preset sets: the MinGW-w64 headers, import libraries of
# kernel32 and user32 made by llvm-dlltool (cmake/msvc-import-libs.cmake), and
# no C or C++ runtime (a program or DLL supplies the few symbols it needs; the
# library's start-up is library/msvc/startup.cpp). The project sees the ABI in
# the compiler it finds (CMAKE_CXX_SIMULATE_ID).
set(CMAKE_SYSTEM_NAME Windows)
if(QT741_TARGET_ARCH STREQUAL "i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
  # winnt.h picks the processor's definitions by this.
  set(qt741_arch_flags "-D_X86_=1")
elseif(QT741_TARGET_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(qt741_arch_flags "")
else()
  message(FATAL_ERROR "QT741_TARGET_ARCH must be i686 or x86_64, not '${QT741_TARGET_ARCH}'")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QT741_TARGET_ARCH)
set(qt741_target ${QT741_TARGET_ARCH}-pc-windows-msvc)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${qt741_target})
set(CMAKE_CXX_COMPILER_TARGET ${qt741_target})
set(CMAKE_RC_COMPILER llvm-rc)
# llvm-rc preprocesses with clang, which must find winver.h.
set(CMAKE_RC_STANDARD_INCLUDE_DIRECTORIES /usr/share/mingw-w64/include)
# llvm-lib does not take CMake's GNU-style archive commands; llvm-ar writes the same archives.
set(CMAKE_AR llvm-ar)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_MSVC_RUNTIME_LIBRARY "")

# -fgnuc-version: the MinGW headers place __declspec as GCC takes it only when
# the compiler says it is one.
set(CMAKE_C_FLAGS_INIT "-isystem /usr/share/mingw-w64/include -fgnuc-version=4.2.1 -fno-exceptions ${qt741_arch_flags}")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
endforeach()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
