# Packaging with CPack from the install rules: `cpack -G DEB` in a build folder makes
# tessaloom_<version>_<arch>.deb holding the program, its manual page and completion, and the
# engine library with its headers and CMake package, all under /usr, with the copyright file and
# changelog that Debian's tools expect.
set(TESSALOOM_PACKAGE_MAINTAINER "Tessaloom Studio developers <tessaloom@example.org>" CACHE STRING
    "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME tessaloom)
set(CPACK_PACKAGE_VENDOR "Tessaloom Studio")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TESSALOOM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "structural binary hex workstation")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_STRIP_FILES ON)
# Folders made while staging the files get 0755 whatever the umask of the build; the files get
# their modes from the install rules already.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSALOOM_PACKAGE_MAINTAINER}")
# The summary above is the synopsis line; CPack indents these lines and marks the empty one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tessaloom Studio inspects and patches binary files from the command line:
hex dumps with an ASCII sidebar, byte-by-byte diffs, Shannon entropy with
detection of PE, ELF, ZIP and PNG headers, printable string extraction and
hex-pattern search-and-replace, each as an exact plain-text report.

The package also holds the C++ engine behind these commands as a static
library with its headers and a CMake package (find_package(Tessaloom)).")
# dpkg-shlibdeps (from dpkg-dev) derives the exact versions of libc6, libstdc++6 and libgcc-s1
# that the program needs; without it the same packages are named without versions.
find_program(TESSALOOM_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TESSALOOM_DPKG_SHLIBDEPS)
if(TESSALOOM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

# The program links the compression and YAML libraries statically and needs none of them; a
# project that links the static engine needs their static archives as well, which are in these
# packages (the CMake package names the missing ones).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "zlib1g-dev, liblzma-dev, libbz2-dev, libzstd-dev, liblz4-dev, libyaml-dev")

# For the Debian package: compressed manual pages, no compiler version strings in the binaries,
# and the copyright file and changelog in place of the plain licence.
set(CPACK_TESSALOOM_INSTALL_DOCDIR "${TESSALOOM_INSTALL_DOCDIR}")
set(CPACK_PRE_BUILD_SCRIPTS
  "${CMAKE_CURRENT_LIST_DIR}/CompressManualPages.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/RemoveCompilerComments.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/DebianDocuments.cmake")

if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
