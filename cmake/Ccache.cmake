# Every compile goes through ccache when it is installed (scripts/install-deps.sh installs it).
# The base directory is this tree's root, so the cache keys hold paths relative to it: a new clone of
# the same commit, in another folder on the same machine, finds what an earlier clone compiled. The
# working directory is left out of the key for the same reason. The cache's size is capped here so
# that no setting outside the tree decides it.
find_program(VOSTREL_CCACHE ccache)
set(VOSTREL_CCACHE_MAXSIZE "4G" CACHE STRING "Size cap of the compiler cache (ccache's max_size)")
if(VOSTREL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(_vostrel_launcher ${CMAKE_COMMAND} -E env
      CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${VOSTREL_CCACHE_MAXSIZE}
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${VOSTREL_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${_vostrel_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${_vostrel_launcher})
endif()
