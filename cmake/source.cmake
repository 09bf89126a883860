# cmake -DDIR=DIR -P source.cmake
# Writes DIR/latmeter-tools-VERSION.tar.gz, the source release: the tracked
# files as the work tree has them, in one folder of that name, with
# cmake/source-release.cmake, which tells a build of it what git told this
# one. Packed as the release archives are, so the same commit gives the same
# bytes. Only from the tree's own git work tree: elsewhere there is no
# telling what is tracked, and it says so and writes nothing.
include(${CMAKE_CURRENT_LIST_DIR}/tree.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/repack.cmake)
if(NOT tools_git)
  message(NOTICE "no source tarball: ${tools_source} is not a git work tree of its own")
  return()
endif()
get_filename_component(DIR ${DIR} ABSOLUTE)
set(name ${PROJECT_NAME}-${TOOLS_VERSION})
set(stage ${DIR}/${name}.d)
file(REMOVE_RECURSE ${stage})
tools_files(files)
foreach(file ${files})
  get_filename_component(folder ${stage}/${name}/${file} DIRECTORY)
  file(COPY ${tools_source}/${file} DESTINATION ${folder})
endforeach()
file(WRITE ${stage}/${name}/${tools_stamp}
     "# What a build of this source release takes from git, which it has not:\n"
     "# written by make dist.\n"
     "set(tools_commit_time ${tools_commit_time})\n"
     "set(tools_dirty ${tools_dirty})\n")
if(tools_commit_time AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${tools_commit_time})
endif()
repack_folder(${stage} ${DIR}/${name}.tar.gz)
file(REMOVE_RECURSE ${stage})
