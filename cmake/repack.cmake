# Run by CPack after it writes each archive: packs it again so that the same
# commit gives the same bytes, whoever packs it and whenever. Names sorted,
# owner and group 0, modes normalised, times from SOURCE_DATE_EPOCH, and a
# gzip header without a name or a time. Included by source.cmake, which packs
# the source release the same way.

# repack_folder(DIR ARCHIVE): DIR's contents into ARCHIVE, so.
function(repack_folder dir archive)
  set(mtime)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(mtime --mtime=@$ENV{SOURCE_DATE_EPOCH})
  endif()
  file(GLOB top RELATIVE ${dir} ${dir}/*)
  execute_process(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mode=go=rX,u+rw
                          ${mtime} --format=gnu -C ${dir} -cf - ${top}
                  COMMAND gzip -9n OUTPUT_FILE ${archive} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(archive ${CPACK_PACKAGE_FILES})
  set(tmp ${archive}.d)
  file(REMOVE_RECURSE ${tmp})
  file(MAKE_DIRECTORY ${tmp})
  execute_process(COMMAND tar -xzf ${archive} -C ${tmp} COMMAND_ERROR_IS_FATAL ANY)
  repack_folder(${tmp} ${archive})
  file(REMOVE_RECURSE ${tmp})
endforeach()
