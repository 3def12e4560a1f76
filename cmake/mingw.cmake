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
set(qt741_triple ${QT741_TARGET_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${qt741_triple}-gcc)
set(CMAKE_CXX_COMPILER ${qt741_triple}-g++)
set(CMAKE_RC_COMPILER ${qt741_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${qt741_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
