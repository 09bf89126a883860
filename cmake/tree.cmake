# What a build takes from git: the commit's time, whether tracked files
# have changed since, and which files are tracked. Git is asked only about
# this tree's own work tree, never about a repository that merely holds it
# (a packager's, with changes of its own). A source release that `make
# dist` wrote answers the first two from cmake/source-release.cmake, and
# holds the tracked files alone. Included by CMakeLists.txt and by
# source.cmake, which writes that release.
#
# Sets tools_source, tools_git (ON in the tree's own work tree),
# tools_commit_time (empty where unknown), tools_dirty and TOOLS_VERSION;
# tools_files(VAR GLOB...) lists the files that match.
get_filename_component(tools_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(tools_stamp cmake/source-release.cmake)

set(tools_git OFF)
set(tools_commit_time "")
set(tools_dirty OFF)
execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY ${tools_source}
                OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed
                ERROR_QUIET)
if(NOT failed)
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${tools_source}" real_source)
  if(top STREQUAL real_source)
    set(tools_git ON)
  endif()
endif()
if(tools_git)
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${tools_source}
                  OUTPUT_VARIABLE tools_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND git status --porcelain --untracked-files=no
                  WORKING_DIRECTORY ${tools_source} OUTPUT_VARIABLE changes ERROR_QUIET)
  if(changes)
    set(tools_dirty ON)
  endif()
elseif(EXISTS ${tools_source}/${tools_stamp})
  include(${tools_source}/${tools_stamp})
else()
  message(WARNING "${tools_source} is neither a git work tree of its own nor a source release "
                  "that make dist wrote: the manual pages and packages carry the build's date, "
                  "or SOURCE_DATE_EPOCH, and the version does not say whether files changed")
endif()

# The name and version, from the project() line where this runs as a
# script. A build from a tree with uncommitted changes is not the release
# that its version names, and everything it writes says so.
if(NOT PROJECT_VERSION)
  file(STRINGS ${tools_source}/CMakeLists.txt project REGEX "^project\\(")
  string(REGEX REPLACE "^project\\(([^ ]+) .*" "\\1" PROJECT_NAME "${project}")
  string(REGEX REPLACE ".* VERSION ([^ )]+).*" "\\1" PROJECT_VERSION "${project}")
endif()
set(TOOLS_VERSION ${PROJECT_VERSION})
if(tools_dirty)
  string(APPEND TOOLS_VERSION "+dirty")
endif()

# tools_files(VAR GLOB...): the tracked files that match, relative to the
# top, sorted, never a note or an editor's backup beside them; where git is
# not asked, the files that are there, which in a source release are the
# tracked ones. A tracked file deleted from the work tree is not there.
function(tools_files var)
  if(tools_git)
    execute_process(COMMAND git -c core.quotePath=false ls-files -- ${ARGN}
                    WORKING_DIRECTORY ${tools_source} OUTPUT_VARIABLE listed
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "\n$" "" listed "${listed}")
    string(REPLACE "\n" ";" listed "${listed}")
    set(found)
    foreach(file ${listed})
      if(EXISTS ${tools_source}/${file})
        list(APPEND found ${file})
      endif()
    endforeach()
  else()
    list(TRANSFORM ARGN PREPEND ${tools_source}/)
    file(GLOB found LIST_DIRECTORIES false RELATIVE ${tools_source} ${ARGN})
  endif()
  list(SORT found)
  set(${var} ${found} PARENT_SCOPE)
endfunction()
