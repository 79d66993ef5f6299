# The manual page, and the packages cpack makes of an install: in a release build
# folder, `cpack -G DEB` gives tavrik_VERSION_ARCH.deb with the library and its
# SONAME link, the header, the pkg-config file, the CMake package, the command
# and its manual page, under /usr.

if(TAVRIK_BUILD_CLI)
  install(FILES ${PROJECT_SOURCE_DIR}/man/tavrik.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME tavrik)
set(CPACK_PACKAGE_VENDOR tavrik)
set(CPACK_PACKAGE_CONTACT "tavrik developers <tavrik@localhost>" CACHE STRING
    "Maintainer named in the packages that cpack makes")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gives PDF files meaningful names")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "tavrik names PDF files after their title, the first line of their text, or"
  "their date and title, and moves them under those names without ever"
  "overwriting a file or changing its content. It reads PDF files itself."
  "This package holds the command and its manual page, and the C library with"
  "its header, pkg-config file and CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
if(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Dependencies as dpkg-shlibdeps (package dpkg-dev) finds them in the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file (and the ldconfig trigger), so that programs built against the
# library depend on this package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
