# The compression and YAML libraries as imported targets tessaloom::zlib, ::lzma, ::bzip2, ::zstd,
# ::lz4 and ::yaml (see TessaloomDependencies.cmake); a build without any of them stops here and
# says which script provides it.

set(TESSALOOM_MINGW_DEPS "/opt/tessaloom-mingw-deps" CACHE PATH
    "Where the MinGW builds of the compression and YAML libraries are installed")

include(${CMAKE_CURRENT_LIST_DIR}/TessaloomDependencies.cmake)

if(TESSALOOM_MISSING_DEPENDENCIES)
  list(JOIN TESSALOOM_MISSING_DEPENDENCIES ", " missing)
  list(JOIN TESSALOOM_MISSING_PACKAGES " " packages)
  if(MINGW)
    message(FATAL_ERROR
      "The MinGW builds of ${missing} (with their headers) were not found in "
      "${TESSALOOM_MINGW_DEPS} or the MinGW sysroot. .ci/build-mingw-deps.sh puts them there: it "
      "installs Debian's libz-mingw-w64-dev and builds the others from Debian's source packages "
      "(TESSALOOM_MINGW_DEPS chooses another folder for both).")
  else()
    message(FATAL_ERROR
      "The static ${missing} (with their headers) were not found. On Debian they are in "
      "${packages}: .ci/install-deps.sh installs whatever the build lacks (the README's build and "
      "test commands run it first).")
  endif()
endif()
