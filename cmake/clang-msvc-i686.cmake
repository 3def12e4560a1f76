# 32-bit Windows, Microsoft's C++ ABI, clang and lld-link: the shipped DLL.
set(QT741_MSVC_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc.cmake)
