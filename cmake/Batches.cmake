# Batched compiles: each of our targets compiles its C++ sources a few at a time, a batch being one
# translation unit that includes them. The big headers every source reads (the standard library,
# GoogleTest, CLI11, the JSON library, windows.h) are then parsed once a batch, not once a source:
# a cold build is much cheaper. A batch includes its sources by their path below the
# tree, not by a whole path, so that every clone compiles the same text and hits the compiler cache
# (CMake's own unity build writes whole paths).
#
# A source with compile settings of its own is compiled alone. Programs are batched, and the
# libraries that set VOSTREL_BATCHED: a library's batch is one archive member, pulled in whole by a
# program that needs any of it, so only a library whose every source a program links may be batched
# (the core's port code, say, calls into a serial back end that not every program links). Sources of one batch share one
# translation unit, so names in anonymous namespaces must differ across a target's sources.
option(VOSTREL_BATCHED "Compile each program's sources in batches: the shared headers are parsed once a batch" ON)
set(VOSTREL_BATCH_SIZE 8 CACHE STRING "Sources per batched compile")

function(vostrel_batch_target target)
  get_target_property(type ${target} TYPE)
  get_target_property(batched_library ${target} VOSTREL_BATCHED)
  if(NOT type STREQUAL "EXECUTABLE" AND NOT batched_library)
    return()
  endif()
  get_target_property(target_dir ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  set(batched "")
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${target_dir})
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${path})
    get_source_file_property(definitions ${path} TARGET_DIRECTORY ${target} COMPILE_DEFINITIONS)
    get_source_file_property(options ${path} TARGET_DIRECTORY ${target} COMPILE_OPTIONS)
    if(relative MATCHES "^\\.\\./" OR definitions OR options)
      continue()
    endif()
    list(APPEND batched ${relative})
  endforeach()
  list(LENGTH batched count)
  if(count LESS 2)
    return()
  endif()
  list(SORT batched)
  set(index 0)
  set(batch_files "")
  while(index LESS count)
    list(SUBLIST batched ${index} ${VOSTREL_BATCH_SIZE} batch)
    set(text "")
    foreach(relative IN LISTS batch)
      string(APPEND text "#include \"${relative}\"\n")
      set_source_files_properties(${CMAKE_SOURCE_DIR}/${relative} TARGET_DIRECTORY ${target}
                                  PROPERTIES HEADER_FILE_ONLY ON)
    endforeach()
    math(EXPR number "${index} / ${VOSTREL_BATCH_SIZE}")
    set(batch_file ${CMAKE_BINARY_DIR}/batches/${target}-${number}.cpp)
    file(CONFIGURE OUTPUT ${batch_file} CONTENT "${text}" @ONLY)
    list(APPEND batch_files ${batch_file})
    math(EXPR index "${index} + ${VOSTREL_BATCH_SIZE}")
  endwhile()
  target_sources(${target} PRIVATE ${batch_files})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  # A source included into a batch counts, to GCC, as a header: types of its anonymous namespace
  # used in its classes would warn.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  endif()
endfunction()

# Every target defined in dir and its folders of this tree, into the list named by result.
function(vostrel_targets_below dir result)
  get_property(found DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${subdir})
    if(NOT relative MATCHES "^\\.\\./")
      vostrel_targets_below(${subdir} below)
      list(APPEND found ${below})
    endif()
  endforeach()
  set(${result} ${found} PARENT_SCOPE)
endfunction()

function(vostrel_batch_all)
  if(VOSTREL_BATCHED)
    vostrel_targets_below(${CMAKE_SOURCE_DIR} targets)
    foreach(target IN LISTS targets)
      vostrel_batch_target(${target})
    endforeach()
  endif()
endfunction()
# After every target of the tree is defined, whichever way the top file ends.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vostrel_batch_all)
