# The program's version: project(... VERSION) is the one place it is written. A build from a git
# checkout whose commit is not tagged v<version> adds the short commit ("1.0.0+g1a2b3c4"); without
# git or .git the version stays plain. Writes ${CMAKE_BINARY_DIR}/generated/Version.h for the
# command line and the resource script, and sets VOSTREL_VERSION_FULL.
#
# Configuring runs again when the checkout's commit moves (HEAD, its branch), so a build after a
# commit carries the new commit.

set(VOSTREL_VERSION_FULL ${PROJECT_VERSION})

find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE _vostrel_commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _vostrel_result ERROR_QUIET)
  if(_vostrel_result EQUAL 0 AND _vostrel_commit)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --exact-match HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vostrel_tag OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT _vostrel_tag STREQUAL "v${PROJECT_VERSION}")
      if(_vostrel_tag MATCHES "^v[0-9]")
        message(WARNING "The commit is tagged ${_vostrel_tag}, but CMakeLists.txt says version "
                        "${PROJECT_VERSION}: building as ${PROJECT_VERSION}+g${_vostrel_commit}")
      endif()
      set(VOSTREL_VERSION_FULL "${PROJECT_VERSION}+g${_vostrel_commit}")
    endif()

    # Configure again when HEAD or its branch moves (a missing file only asks for that too).
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-dir --git-common-dir
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vostrel_git_dirs OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} symbolic-ref -q HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vostrel_branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" _vostrel_git_dirs "${_vostrel_git_dirs}")
    list(LENGTH _vostrel_git_dirs _vostrel_count)
    if(_vostrel_count EQUAL 2)
      list(GET _vostrel_git_dirs 0 _vostrel_git_dir)
      list(GET _vostrel_git_dirs 1 _vostrel_common_dir)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   ${_vostrel_git_dir}/HEAD ${_vostrel_common_dir}/packed-refs)
      if(_vostrel_branch)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vostrel_common_dir}/${_vostrel_branch})
      endif()
    endif()
  endif()
endif()

message(STATUS "Vostrel version: ${VOSTREL_VERSION_FULL}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in ${CMAKE_BINARY_DIR}/generated/Version.h @ONLY)

# Targets that show the version link this: the command line and, through windres's preprocessor,
# the resource script.
add_library(vostrel_version INTERFACE)
target_include_directories(vostrel_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
