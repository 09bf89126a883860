# cmake -DDIR=DIR [-DSIGN_KEY=FILE] -P checksums.cmake
# Writes DIR/SHA256SUMS over every file in DIR, in the BSD form that both
# `sha256sum -c` and `signify -C` read; with SIGN_KEY, signs it with
# signify into SHA256SUMS.sig, which embeds the checksums it signs. Files
# built from uncommitted changes are never signed.
get_filename_component(DIR ${DIR} ABSOLUTE)
file(GLOB files LIST_DIRECTORIES false RELATIVE ${DIR} ${DIR}/*)
list(REMOVE_ITEM files SHA256SUMS SHA256SUMS.sig)
list(SORT files)
execute_process(COMMAND sha256sum --tag ${files} WORKING_DIRECTORY ${DIR}
                OUTPUT_FILE ${DIR}/SHA256SUMS COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${DIR}/SHA256SUMS.sig)
if(SIGN_KEY)
  if(files MATCHES "\\+dirty")
    message(FATAL_ERROR "${DIR} was built from uncommitted changes: commit them before signing")
  endif()
  execute_process(COMMAND signify-openbsd -S -e -s ${SIGN_KEY} -m ${DIR}/SHA256SUMS
                          -x ${DIR}/SHA256SUMS.sig RESULT_VARIABLE failed)
  if(failed)
    file(REMOVE ${DIR}/SHA256SUMS.sig)
    message(FATAL_ERROR "signing with ${SIGN_KEY} failed")
  endif()
endif()
