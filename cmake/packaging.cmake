# What `make dist` packs, with CPack:
# - from a static build, a release archive: one folder with the programs,
#   stripped, their manual pages, the README, HACKING.md, docs/ and the
#   licences;
# - from a dynamic build, a Debian package, for boards that run Debian.
# The archive's README, docs and licences are a component of their own,
# which `cmake --install` leaves out; `cmake --install` puts the licences in
# the docs folder instead, as a component that the packages leave out. The
# package and `cmake --install` also put the guide to the figures there, for
# the manual pages to point to; the archive has it in docs/.
set(licences ${PROJECT_SOURCE_DIR}/LICENSE)
set(dist_arch ${TOOLS_ARCH})
set(deb_arch ${TOOLS_DEB_ARCH})
find_program(DPKG_QUERY dpkg-query NO_DEFAULT_PATH PATHS ENV PATH)

# A static program carries the C library, and with it its licence: name the
# exact library, and where its source is. Debian's package of the libc.a
# that the compiler links says so; elsewhere the packager fills it in.
if(TOOLS_STATIC)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${TOOLS_COMPILER_FLAGS} -print-file-name=libc.a
                  OUTPUT_VARIABLE libc_a OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${libc_a}" libc_a)
  set(libc_package "the package that holds ${libc_a}")
  set(failed ON)
  if(DPKG_QUERY)
    execute_process(COMMAND ${DPKG_QUERY} -S ${libc_a} OUTPUT_VARIABLE owner ERROR_QUIET)
    if(owner MATCHES "^([^:, \n]+)(:[^:, \n]+)?: ")
      set(libc_package ${CMAKE_MATCH_1})
      execute_process(COMMAND ${DPKG_QUERY} -W "-f=\${Version} \${source:Package}" ${libc_package}
                      OUTPUT_VARIABLE libc_package_version RESULT_VARIABLE failed ERROR_QUIET)
    endif()
  endif()
  # glibc's own version and Debian revision; a cross build's package comes
  # from a source package of its own, and adds a suffix to them.
  set(libc_package_re "^(([0-9.]+)-[0-9A-Za-z.+~]+) glibc$")
  set(libc_also "")
  if(libc_package_version MATCHES " (.+)$" AND NOT CMAKE_MATCH_1 STREQUAL "glibc")
    set(libc_package_re "^(([0-9.]+)-[0-9.]+)")
    set(libc_also ", which the\n${CMAKE_MATCH_1} source package also carries")
  endif()
  set(TOOLS_LIBC_VERSION "" CACHE STRING "The version of the C library linked into static programs")
  set(TOOLS_LIBC_SOURCE "" CACHE STRING "Where the source of that C library is")
  if(TOOLS_LIBC_VERSION OR TOOLS_LIBC_SOURCE)
    set(libc_version ${TOOLS_LIBC_VERSION})
    set(libc_source ${TOOLS_LIBC_SOURCE})
  elseif(NOT failed AND libc_package_version MATCHES "${libc_package_re}")
    set(libc_source_version ${CMAKE_MATCH_1})
    set(libc_upstream ${CMAKE_MATCH_2})
    string(REGEX REPLACE " .*" "" libc_package_version "${libc_package_version}")
    set(libc_version "${libc_upstream}, as Debian packages it for ${deb_arch} in
${libc_package} ${libc_package_version}")
    set(libc_source "Debian's glibc source package, version ${libc_source_version}
(`apt-get source glibc=${libc_source_version}` on Debian)${libc_also}")
  endif()
  if(NOT libc_version OR NOT libc_source)
    message(WARNING "No version of ${libc_package} to read (no dpkg-query, or not Debian's "
                    "C library): the NOTICE that goes with the static programs does not "
                    "name the C library's version, nor where its source is. Name them with "
                    "-DTOOLS_LIBC_VERSION=... and -DTOOLS_LIBC_SOURCE=...")
    if(NOT libc_version)
      set(libc_version "(not named by the build)")
    endif()
    if(NOT libc_source)
      set(libc_source "that version's release from the GNU project (not named by the build)")
    endif()
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/NOTICE.in NOTICE @ONLY)
  list(APPEND licences ${CMAKE_CURRENT_BINARY_DIR}/NOTICE ${CMAKE_CURRENT_LIST_DIR}/LGPL-2.1)
endif()
# What is committed (cmake/tree.cmake), never a note or a backup beside it.
tools_files(hacking HACKING.md)
tools_files(docs docs/*)
# A checkout that adds or removes a document configures again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs)
list(TRANSFORM hacking PREPEND ${PROJECT_SOURCE_DIR}/)
list(TRANSFORM docs PREPEND ${PROJECT_SOURCE_DIR}/)
install(FILES README.md ${hacking} ${licences} DESTINATION . COMPONENT docs EXCLUDE_FROM_ALL)
install(FILES ${docs} DESTINATION docs COMPONENT docs EXCLUDE_FROM_ALL)
install(FILES ${licences} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licences)
install(FILES docs/reading-the-figures.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT guide)

# The Debian package's own documents: its copyright file, in Debian's
# machine-readable format, made from LICENSE, and its changelog.
set(deb_name ${PROJECT_NAME})
set(TOOLS_MAINTAINER "latmeter-tools authors <latmeter-tools@maintainers.invalid>"
    CACHE STRING "The Debian packages' maintainer, as Name <address>")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
if(NOT licence_text MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE has no copyright line followed by the licence")
endif()
set(copyright_holder ${CMAKE_MATCH_1})
string(REGEX REPLACE "\n\n" "\n.\n" licence_body "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " licence_body " ${licence_body}")
set(deb_docs ${CMAKE_CURRENT_BINARY_DIR}/deb)
file(WRITE ${deb_docs}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${deb_name}

Files: *
Copyright: ${copyright_holder}
License: Expat

License: Expat
${licence_body}
")
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${deb_docs}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${deb_docs}/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${deb_docs}/copyright ${deb_docs}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# Times from the commit's date at packing time too; a Debian package's
# dependency on the C library, from the symbol versions the programs need;
# and nothing packed for an architecture that has no name here.
set(CPACK_TOOLS_COMMIT_TIME ${tools_commit_time})
set(CPACK_TOOLS_ARCH ${TOOLS_ARCH})
set(CPACK_TOOLS_TARGET ${TOOLS_TARGET})
get_property(CPACK_TOOLS_PROGRAMS GLOBAL PROPERTY tools_programs)
set(CPACK_TOOLS_READELF ${CMAKE_READELF})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)

set(CPACK_PACKAGE_VERSION ${TOOLS_VERSION})
set(dist_name ${PROJECT_NAME}-${TOOLS_VERSION}-linux-${dist_arch})
set(deb_file ${deb_name}_${TOOLS_VERSION}_${deb_arch}.deb)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
if(TOOLS_STATIC)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME ${dist_name})
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified docs)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/repack.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified guide debian)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME ${deb_file})
  set(CPACK_DEBIAN_PACKAGE_NAME ${deb_name})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TOOLS_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "kernel call latency and Arm generic timer rate")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "latmeter measures the best-case cost of reading the monotonic clock, with a
direct system call and through the C library's vDSO fast path, and of
fetching 64 KiB from /dev/zero by mmap plus a copy and by one read.
tickrate reads the frequency that the Arm generic timer reports and
measures how far its virtual counter advances against the kernel's clock.")
endif()
include(CPack)
