# Cross-compiles with MinGW-w64 for QT741_TARGET_ARCH, i686 (the 32-bit DLL for
# C++ hosts built with MinGW) or x86_64 (the same sources, 64-bit, run under
# wine64); the preset sets it.
set(CMAKE_SYSTEM_NAME Windows)
if(QT741_TARGET_ARCH STREQUAL "i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
elseif(QT741_TARGET_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  message(FATAL_ERROR "QT741_TARGET_ARCH must be i686 or x86_64, not '${QT741_TARGET_ARCH}'")
endif()
# The compiler checks configure projects of their own: they need it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QT741_TARGET_ARCH)
# The compilers' thread model: the plain names (Debian's -win32 ones) build the
# library and the programs; QT741_MINGW_THREADS=posix picks the -posix ones, with
# std::thread and std::mutex, for the bridge's own build (bridge/CMakeLists.txt).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QT741_MINGW_THREADS)
set(qt741_threads "")
if(QT741_MINGW_THREADS STREQUAL "posix")
  set(qt741_threads -posix)
endif()
set(qt741_triple ${QT741_TARGET_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${qt741_triple}-gcc${qt741_threads})
set(CMAKE_CXX_COMPILER ${qt741_triple}-g++${qt741_threads})
set(CMAKE_RC_COMPILER ${qt741_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${qt741_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
