# QT741DLL's CMake package in the Windows release archive, where it lies in
# cmake/ beside include/, x86/, x64/, mingw/x86/ and mingw/x64/:
#
#   cmake -DCMAKE_PREFIX_PATH=C:/QT741DLL-1.0.0 ...     (or -DQT741DLL_DIR=C:/QT741DLL-1.0.0/cmake)
#   find_package(QT741DLL 1 REQUIRED)
#   target_link_libraries(host PRIVATE QT741DLL::QT741DLL)
#
# The imported target QT741DLL::QT741DLL is the QT741DLL.dll of the host's
# width (CMAKE_SIZEOF_VOID_P) and C++ ABI, with its import library and the
# archive's include/. Microsoft's ABI (Visual C++, clang-cl, clang for
# *-windows-msvc) takes x86/ or x64/; any other compiler (MinGW-w64's GCC or
# clang) mingw/x86/ or mingw/x64/. The flat functions are the same in every
# build; the ABI matters to hosts of the class mComm. Setting QT741DLL_ABI to
# msvc or mingw overrides the choice. The DLL goes beside the host's .exe
# ($<TARGET_RUNTIME_DLLS:host> names it).
if(NOT WIN32)
  set(QT741DLL_FOUND FALSE)
  set(QT741DLL_NOT_FOUND_MESSAGE "this is the Windows package of QT741DLL; Linux hosts use libqt741dll-dev")
  return()
endif()

get_filename_component(_qt741_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_qt741_arch x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_qt741_arch x86)
else()
  set(QT741DLL_FOUND FALSE)
  set(QT741DLL_NOT_FOUND_MESSAGE "no compiler's width is known: enable C or CXX before find_package(QT741DLL)")
  return()
endif()

if(QT741DLL_ABI)
  set(_qt741_abi "${QT741DLL_ABI}")
elseif(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_qt741_abi msvc)
else()
  set(_qt741_abi mingw)
endif()
if(_qt741_abi STREQUAL "msvc")
  set(_qt741_dir "${_qt741_root}/${_qt741_arch}")
elseif(_qt741_abi STREQUAL "mingw")
  set(_qt741_dir "${_qt741_root}/mingw/${_qt741_arch}")
else()
  set(QT741DLL_FOUND FALSE)
  set(QT741DLL_NOT_FOUND_MESSAGE "QT741DLL_ABI is '${QT741DLL_ABI}': msvc or mingw")
  return()
endif()

if(NOT EXISTS "${_qt741_dir}/QT741DLL.dll" OR NOT EXISTS "${_qt741_dir}/QT741DLL.lib")
  set(QT741DLL_FOUND FALSE)
  set(QT741DLL_NOT_FOUND_MESSAGE "no QT741DLL.dll and QT741DLL.lib in ${_qt741_dir}")
  return()
endif()
if(NOT TARGET QT741DLL::QT741DLL)
  add_library(QT741DLL::QT741DLL SHARED IMPORTED)
  set_target_properties(QT741DLL::QT741DLL PROPERTIES
    IMPORTED_LOCATION "${_qt741_dir}/QT741DLL.dll"
    IMPORTED_IMPLIB "${_qt741_dir}/QT741DLL.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_qt741_root}/include")
endif()
unset(_qt741_root)
unset(_qt741_arch)
unset(_qt741_abi)
unset(_qt741_dir)
