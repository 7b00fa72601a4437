# The Debian package (`make package`, or `cpack` in a build directory):
# what `cmake --install` puts under the prefix, installed under /usr.
set(CATALOGR_MAINTAINER "catalogr developers <catalogr@example.invalid>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME catalogr)
set(CPACK_PACKAGE_VENDOR "catalogr developers")
set(CPACK_PACKAGE_CONTACT "${CATALOGR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data dictionary tool for xBase databases")
# The long description, in lines of the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "catalogr keeps the data dictionary of an xBase database: the tables"
    "sqltable, sqlcolmn and sqlindex that a host application's SQL layer reads"
    "to learn which data files are tables, which columns each has and which"
    "index file belongs to it. It creates the dictionary and registers and"
    "removes tables and index files, one directive on the command line or a"
    "script of directives. It carries its own engine for DBF data files, CDX"
    "compound indexes and FPT memo files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CATALOGR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's dependencies are those of the programs' shared libraries,
# as dpkg-shlibdeps (package dpkg-dev) computes them.
find_program(CATALOGR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CATALOGR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps (dpkg-dev) not found: the package will name no dependencies")
endif()

include(CPack)
