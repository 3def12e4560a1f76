# What `cmake --install` puts where for the linux-native build, in three
# components that the Debian packages follow (cmake/linux-packages.cmake):
#   runtime      libQT741DLL.so.1.0.0 and its soname link libQT741DLL.so.1
#   development  the link libQT741DLL.so, the headers, qt741dll.pc, the CMake
#                package (find_package(QT741DLL): QT741DLL::QT741DLL)
#   tools        cardtool and cardemu
# Every installed path is relative to the prefix (the .pc file and the CMake
# package find the rest from where they lie), so one build serves a staged
# prefix, /usr/local, /opt and the packages (prefix /usr) alike.
#
# The headers go into include/qt741/, which hosts put on their include path:
# mComm.h includes <windows.h>, here the library's Win32 subset, which must not
# stand in the system's include folder under that name.

# The multiarch library folder on Debian (lib/x86_64-linux-gnu), which the
# loader and pkg-config search under /usr and /usr/local.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(QT741_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qt741)
set(QT741_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QT741DLL)

install(TARGETS QT741DLL EXPORT QT741DLLTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${QT741_INSTALL_INCLUDEDIR})
install(FILES include/QT741DLL.h include/qt741_export.h include/mComm.h win32/include/windows.h
  DESTINATION ${QT741_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT QT741DLLTargets NAMESPACE QT741DLL:: DESTINATION ${QT741_INSTALL_CMAKEDIR} COMPONENT development)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QT741DLLConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES cmake/install-config.cmake RENAME QT741DLLConfig.cmake DESTINATION ${QT741_INSTALL_CMAKEDIR}
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/QT741DLLConfigVersion.cmake DESTINATION ${QT741_INSTALL_CMAKEDIR}
  COMPONENT development)

# qt741dll.pc finds the prefix from its own folder (${pcfiledir}).
file(RELATIVE_PATH QT741_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QT741_PC_PREFIX "${QT741_PC_PREFIX}")
configure_file(cmake/qt741dll.pc.in qt741dll.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qt741dll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The programs find the library in ../lib/ARCH beside their own folder.
set_target_properties(cardtool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS cardtool cardemu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

set(QT741_MAINTAINER "QT741 maintainers <maintainers@users.noreply.c-seed-9b6c3ee0.example>"
  CACHE STRING "The packages' maintainer and the changelog's signer")

# Each component's documentation folder, named after its Debian package: the
# copyright notice and the changelog (compressed as Debian does it).
find_program(QT741_GZIP gzip REQUIRED)
configure_file(package/debian/changelog.in changelog @ONLY)
add_custom_command(OUTPUT changelog.gz
  COMMAND ${QT741_GZIP} -9nkf changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_custom_target(qt741_changelog ALL DEPENDS changelog.gz)
set(QT741_DEB_runtime libqt741dll1)
set(QT741_DEB_development libqt741dll-dev)
set(QT741_DEB_tools qt741-tools)
foreach(component runtime development tools)
  install(FILES package/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QT741_DEB_${component}} COMPONENT ${component})
endforeach()
include(bridge/install.cmake)
