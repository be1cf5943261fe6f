# The Windows build's tests talk to simulated cards, and the simulated card is a native program:
# it runs on a Linux pseudo-terminal that Wine links in as a COM port. VOSTREL_CARDSIM names it;
# left empty, the native build's own (build/native beside the sources) is used, configured and built
# here first when it is missing, and brought up to date with every build of this tree.
#
# Sets VOSTREL_CARDSIM_EXE to the executable's path.

set(VOSTREL_NATIVE_DIR ${CMAKE_SOURCE_DIR}/build/native)

if(VOSTREL_CARDSIM)
  if(NOT EXISTS "${VOSTREL_CARDSIM}")
    message(FATAL_ERROR "VOSTREL_CARDSIM names no file: ${VOSTREL_CARDSIM}\n"
      "Build the native simulated card (cmake --preset native && cmake --build build/native --target cardsim) "
      "or leave VOSTREL_CARDSIM empty to have it built.")
  endif()
  set(VOSTREL_CARDSIM_EXE ${VOSTREL_CARDSIM})
  return()
endif()

set(VOSTREL_CARDSIM_EXE ${VOSTREL_NATIVE_DIR}/cardsim)
set(_vostrel_cardsim_hint "cd ${CMAKE_SOURCE_DIR} && cmake --preset native && cmake --build build/native --target cardsim")

if(NOT EXISTS ${VOSTREL_CARDSIM_EXE})
  message(STATUS "Building the native simulated card in ${VOSTREL_NATIVE_DIR}")
  if(NOT EXISTS ${VOSTREL_NATIVE_DIR}/CMakeCache.txt)
    # A clean environment: this configure's cross-compiler settings must not reach the native one.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX --unset=CMAKE_TOOLCHAIN_FILE
                            ${CMAKE_COMMAND} --preset native
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    RESULT_VARIABLE _vostrel_result OUTPUT_QUIET)
    if(NOT _vostrel_result EQUAL 0)
      message(FATAL_ERROR "Could not configure the native build for the simulated card. Run:\n  ${_vostrel_cardsim_hint}")
    endif()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${VOSTREL_NATIVE_DIR} --target cardsim
                  RESULT_VARIABLE _vostrel_result OUTPUT_QUIET)
  if(NOT _vostrel_result EQUAL 0 OR NOT EXISTS ${VOSTREL_CARDSIM_EXE})
    message(FATAL_ERROR "Could not build the native simulated card. Run:\n  ${_vostrel_cardsim_hint}")
  endif()
endif()

# Kept up to date with the sources: the native build rebuilds it only when they changed.
add_custom_target(native_cardsim ALL
  COMMAND ${CMAKE_COMMAND} --build ${VOSTREL_NATIVE_DIR} --target cardsim
  COMMENT "Bringing the native simulated card up to date"
  USES_TERMINAL)
