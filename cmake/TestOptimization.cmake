# The test programs, and what only they link (test support, the headless dialogs, the simulated
# card), compile at VOSTREL_TEST_OPTIMIZE: they spend their time waiting on cards and clocks, not
# computing, so they are built for a quick compile (-Og costs about 35 % less than -O2 here). The
# program's own code, which the tests link from its libraries, keeps the build type's optimization.
set(VOSTREL_TEST_OPTIMIZE "" CACHE STRING "Optimization option of the test programs and their support (empty: the build type's)")

# Whether every source of the target is test code: under tests/ or tools/cardsim/ (sources the
# build writes, such as batches and dialog templates, and resource scripts do not count).
function(vostrel_is_test_code target result)
  get_target_property(target_dir ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  set(test_code FALSE)
  foreach(source IN LISTS sources)
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${target_dir})
    if(path MATCHES "^${CMAKE_BINARY_DIR}/" OR path MATCHES "\\.rc$")
      continue()
    endif()
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${path})
    if(NOT relative MATCHES "^(tests|tools/cardsim)/")
      set(${result} FALSE PARENT_SCOPE)
      return()
    endif()
    set(test_code TRUE)
  endforeach()
  set(${result} ${test_code} PARENT_SCOPE)
endfunction()

function(vostrel_optimize_tests)
  if(NOT VOSTREL_TEST_OPTIMIZE)
    return()
  endif()
  vostrel_targets_below(${CMAKE_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY)$")
      vostrel_is_test_code(${target} test_code)
      if(test_code)
        target_compile_options(${target} PRIVATE ${VOSTREL_TEST_OPTIMIZE})
      endif()
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vostrel_optimize_tests)
