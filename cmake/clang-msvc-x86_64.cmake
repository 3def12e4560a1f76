# 64-bit Windows, Microsoft's C++ ABI, clang and lld-link (runs under wine64).
set(QT741_MSVC_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc.cmake)
