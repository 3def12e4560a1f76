# cpack runs this once a package's files are staged (CPACK_PRE_BUILD_SCRIPTS):
# the tar.gz gets LICENSE.txt at its top, beside bin/ and lib/. The Debian
# packages carry the license in each package's /usr/share/doc/NAME/copyright.
if(CPACK_GENERATOR STREQUAL "TGZ")
  file(COPY_FILE ${CPACK_QT741_LICENSE} ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/LICENSE.txt)
endif()
