# Read by CPack as it packs each build. Archives and packages are named for
# the compiler's target: one the tree has no name for stops here.
if(NOT CPACK_TOOLS_ARCH)
  message(FATAL_ERROR "no archive or package for ${CPACK_TOOLS_TARGET}: the release names "
                      "aarch64, 32-bit Arm v7 or later with hard float, and x86_64 alone")
endif()

# Times from the commit's date, unless the caller sets them.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_TOOLS_COMMIT_TIME)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_TOOLS_COMMIT_TIME})
endif()

# A Debian package depends on the C library from the newest of its symbol
# versions that the programs reference: what they really need, whatever
# release built them.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(newest 0)
  foreach(program ${CPACK_TOOLS_PROGRAMS})
    execute_process(COMMAND ${CPACK_TOOLS_READELF} -W -V ${program} OUTPUT_VARIABLE versions
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" needed "${versions}")
    foreach(name ${needed})
      string(REGEX REPLACE ".*_" "" version ${name})
      if(version VERSION_GREATER newest)
        set(newest ${version})
      endif()
    endforeach()
  endforeach()
  if(NOT newest)
    message(FATAL_ERROR "no C library symbol versions in ${CPACK_TOOLS_PROGRAMS}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
