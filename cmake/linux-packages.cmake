# The linux-native build's packages (cpack --config BUILD/CPackConfig.cmake):
# a Debian package per install component (cmake/install.cmake), prefix /usr,
#   libqt741dll1     runtime       section libs
#   libqt741dll-dev  development   section libdevel, needs libqt741dll1 of its version
#   qt741-tools      tools         section utils, needs libqt741dll1 of its version
#   qt741-bridge     bridge        section utils, needs libqt741dll1 of its version
#                                  and adduser (its system user), with a systemd unit
# and QT741DLL-VERSION-linux-ARCH.tar.gz, the whole install in one folder (it
# runs from anywhere: the programs find the library relative to themselves).
# The libraries each binary needs are found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME qt741dll)
set(CPACK_PACKAGE_VENDOR "QT741 maintainers")
set(CPACK_PACKAGE_CONTACT "${QT741_MAINTAINER}")
set(CPACK_PACKAGE_FILE_NAME QT741DLL-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime development tools bridge)
set(CPACK_QT741_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/archive-license.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE qt741dll)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QT741_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libqt741dll1's shlibs file: hosts built against it need this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# cardtool needs libQT741DLL.so.1, not installed yet: the build's copy stands
# in for dpkg-shlibdeps (the dependency on libqt741dll1 is stated below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/library)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libqt741dll1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed by dpkg's ldconfig trigger. (CPack also
# writes a postinst and a postrm that run ldconfig: redundant, harmless.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/package/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqt741dll-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qt741-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# Each package depends on the runtime package of the same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME qt741-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_BRIDGE_DEPENDS runtime)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS adduser)
# Its user and the systemd unit's enabling, starting and stopping, as
# debhelper writes them (bridge/debian/).
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/bridge/debian/postinst
  ${PROJECT_SOURCE_DIR}/bridge/debian/prerm ${PROJECT_SOURCE_DIR}/bridge/debian/postrm
  ${PROJECT_SOURCE_DIR}/bridge/debian/conffiles)
# The first line is the synopsis.

set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "serial magnetic-stripe card reader/writer library
libQT741DLL.so drives a magnetic-stripe card reader/writer on a serial port:
it opens the port, writes and reads tracks 1 and 2 of the next card swiped,
and ends a wait for the swipe when the host asks it to.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "serial magnetic-stripe card reader/writer library - development files
The headers of libQT741DLL.so for C and C++ hosts (in /usr/include/qt741),
its link for the linker, a pkg-config file (qt741dll) and a CMake package
(find_package(QT741DLL), target QT741DLL::QT741DLL).")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "serial magnetic-stripe card reader/writer - tools
cardtool runs the library's functions against a card reader/writer from the
command line (cardtool /dev/ttyUSB0 read 12). cardemu plays such a device on
a pseudo-terminal, for trying a host without one.")

set(CPACK_DEBIAN_BRIDGE_DESCRIPTION "serial magnetic-stripe card reader/writer - bridge for web pages
cardbridge serves a card reader/writer to the web pages an administrator
allowed, over WebSocket and HTTP on the loopback interface. A systemd unit
runs it as its own user with the options in /etc/default/cardbridge.")

include(CPack)
