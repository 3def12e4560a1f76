# The qt741-bridge Debian package's files (cmake/linux-packages.cmake), in the
# component bridge: cardbridge, its systemd unit and its options file, with
# the prefix /usr: /usr/bin, /lib/systemd/system, /etc/default. They name the
# system's folders, so only the package installs them (EXCLUDE_FROM_ALL): a
# whole `cmake --install` into a prefix leaves the bridge out.
set_target_properties(cardbridge PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS cardbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bridge EXCLUDE_FROM_ALL)
install(FILES bridge/debian/cardbridge.service DESTINATION ../lib/systemd/system COMPONENT bridge EXCLUDE_FROM_ALL)
install(FILES bridge/debian/cardbridge.default DESTINATION ../etc/default RENAME cardbridge COMPONENT bridge
  EXCLUDE_FROM_ALL)
add_custom_command(OUTPUT bridge.md.gz
  COMMAND ${QT741_GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/bridge.md > bridge.md.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/bridge.md
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
add_custom_target(qt741_bridge_doc ALL DEPENDS bridge.md.gz)
install(FILES package/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/bridge.md.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qt741-bridge COMPONENT bridge EXCLUDE_FROM_ALL)
