# Run by CPack after it has installed the files into its staging folder and before it builds a
# Debian package from them. Debian keeps a package's licence in /usr/share/doc/<package>/copyright,
# in its machine-readable copyright format, and the history of a package whose version has no
# Debian revision (a native package) in changelog.gz beside it. Both are made here from LICENSE
# and debian/changelog.in; the plain LICENSE that the install rules put there is then redundant.
# The lintian overrides that say why the program embeds libraries go in beside them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(source_dir "${CMAKE_CURRENT_LIST_DIR}/debian")
set(doc_dir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
set(file_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(MAKE_DIRECTORY "${doc_dir}")

# copyright: the year and holder from LICENSE's copyright line, and the licence text from its
# permission notice on, each line indented by one space and an empty line written as " .".
file(READ "${CPACK_RESOURCE_FILE_LICENSE}" licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n")
  message(FATAL_ERROR "${CPACK_RESOURCE_FILE_LICENSE} has no \"Copyright (c)\" line")
endif()
set(copyright "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission is hereby granted" start)
if(start LESS 0)
  message(FATAL_ERROR "${CPACK_RESOURCE_FILE_LICENSE} is not the MIT licence text")
endif()
string(SUBSTRING "${licence}" ${start} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n" "\n " license_text " ${license_text}")
file(READ "${source_dir}/copyright.in" template)
string(CONFIGURE "${template}" text @ONLY)
file(WRITE "${doc_dir}/copyright" "${text}")
file(CHMOD "${doc_dir}/copyright" PERMISSIONS ${file_permissions})
file(REMOVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_TESSALOOM_INSTALL_DOCDIR}/LICENSE")

# changelog.gz: its latest entry must be the version being packaged. gzip -9n stores neither the
# file name nor a time stamp, so the same changelog always compresses to the same bytes.
file(READ "${source_dir}/changelog.in" template)
if(NOT template MATCHES "^${CPACK_PACKAGE_NAME} \\(([^)]+)\\)")
  message(FATAL_ERROR "${source_dir}/changelog.in does not start with a ${CPACK_PACKAGE_NAME} entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "The latest entry of ${source_dir}/changelog.in is for version "
    "${CMAKE_MATCH_1}, not ${CPACK_PACKAGE_VERSION}: add an entry for this version")
endif()
string(CONFIGURE "${template}" text @ONLY)
file(WRITE "${doc_dir}/changelog" "${text}")
file(CHMOD "${doc_dir}/changelog" PERMISSIONS ${file_permissions})
find_program(gzip_program gzip REQUIRED)
execute_process(COMMAND "${gzip_program}" -9nf "${doc_dir}/changelog" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${doc_dir}/changelog failed")
endif()

# The lintian overrides: the program links libraries statically on purpose, which lintian would
# report as embedded copies of them.
set(share_dir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share")
set(directory_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
foreach(dir IN ITEMS "${share_dir}/lintian" "${share_dir}/lintian/overrides")
  file(MAKE_DIRECTORY "${dir}")
  file(CHMOD "${dir}" PERMISSIONS ${directory_permissions})
endforeach()
configure_file("${source_dir}/lintian-overrides" "${share_dir}/lintian/overrides/${CPACK_PACKAGE_NAME}"
  COPYONLY)
file(CHMOD "${share_dir}/lintian/overrides/${CPACK_PACKAGE_NAME}" PERMISSIONS ${file_permissions})
