# The libraries the engine decompresses and reads templates with, each linked statically so that a
# program stays one file: zlib, liblzma, libbz2, libzstd, liblz4 and libyaml. Each becomes an
# imported target tessaloom::<name> over its static archive and headers. Used by the build and,
# installed beside TessaloomConfig.cmake, by every project that links the installed engine.
#
# On Linux the archives are those of Debian's -dev packages (or wherever find_library looks). For
# a MinGW-w64 build they are looked for in TESSALOOM_MINGW_DEPS first, where
# .ci/build-mingw-deps.sh installs them, then in the MinGW sysroot, where Debian's
# libz-mingw-w64-dev puts zlib.
#
# A library that is not found gets no target: its archive is added to
# TESSALOOM_MISSING_DEPENDENCIES and the Debian package that holds it on Linux to
# TESSALOOM_MISSING_PACKAGES, and the includer decides how to report them.

if(NOT DEFINED TESSALOOM_MINGW_DEPS)
  set(TESSALOOM_MINGW_DEPS "/opt/tessaloom-mingw-deps")
endif()
set(TESSALOOM_MISSING_DEPENDENCIES "")
set(TESSALOOM_MISSING_PACKAGES "")

# liblzma and libzstd start threads; the system's thread library, where it is not the C library.
if(NOT WIN32)
  find_package(Threads)
endif()

# name: the target's name; archive: the static library's file name; header: one of its headers;
# package: the Debian package that holds both on Linux.
function(tessaloom_static_dependency name archive header package)
  if(TARGET tessaloom::${name})
    return()
  endif()
  if(MINGW)
    find_library(TESSALOOM_${name}_ARCHIVE NAMES ${archive} PATHS ${TESSALOOM_MINGW_DEPS}/lib
                 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_path(TESSALOOM_${name}_INCLUDE NAMES ${header} PATHS ${TESSALOOM_MINGW_DEPS}/include
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  find_library(TESSALOOM_${name}_ARCHIVE NAMES ${archive})
  find_path(TESSALOOM_${name}_INCLUDE NAMES ${header})
  mark_as_advanced(TESSALOOM_${name}_ARCHIVE TESSALOOM_${name}_INCLUDE)
  if(NOT TESSALOOM_${name}_ARCHIVE OR NOT TESSALOOM_${name}_INCLUDE)
    set(TESSALOOM_MISSING_DEPENDENCIES ${TESSALOOM_MISSING_DEPENDENCIES} ${archive} PARENT_SCOPE)
    set(TESSALOOM_MISSING_PACKAGES ${TESSALOOM_MISSING_PACKAGES} ${package} PARENT_SCOPE)
    return()
  endif()
  add_library(tessaloom::${name} STATIC IMPORTED)
  set_target_properties(tessaloom::${name} PROPERTIES
    IMPORTED_LOCATION ${TESSALOOM_${name}_ARCHIVE}
    INTERFACE_INCLUDE_DIRECTORIES ${TESSALOOM_${name}_INCLUDE})
endfunction()

tessaloom_static_dependency(zlib libz.a zlib.h zlib1g-dev)
tessaloom_static_dependency(lzma liblzma.a lzma.h liblzma-dev)
tessaloom_static_dependency(bzip2 libbz2.a bzlib.h libbz2-dev)
tessaloom_static_dependency(zstd libzstd.a zstd.h libzstd-dev)
tessaloom_static_dependency(lz4 liblz4.a lz4frame.h liblz4-dev)
tessaloom_static_dependency(yaml libyaml.a yaml.h libyaml-dev)

foreach(name IN ITEMS lzma zstd)
  if(TARGET tessaloom::${name} AND TARGET Threads::Threads)
    set_property(TARGET tessaloom::${name} APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
  endif()
endforeach()
# Built statically, the headers of libyaml and liblzma would otherwise declare their functions as
# imported from a DLL.
if(WIN32 AND TARGET tessaloom::yaml)
  set_property(TARGET tessaloom::yaml APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS YAML_DECLARE_STATIC)
endif()
if(WIN32 AND TARGET tessaloom::lzma)
  set_property(TARGET tessaloom::lzma APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
endif()
