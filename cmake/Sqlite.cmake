# SQLite compiled into the Windows programs, so that they need no DLL: the amalgamation made from
# Debian's own sqlite3 source package by scripts/sqlite-amalgamation.sh, once, into a cache outside
# the tree (scripts/install-deps.sh windows makes it ahead of the build; this makes it when missing).
set(VOSTREL_SQLITE_DIR "" CACHE PATH "Folder with SQLite's sqlite3.c and sqlite3.h (empty: scripts/sqlite-amalgamation.sh's)")
set(sqlite_dir ${VOSTREL_SQLITE_DIR})
if(NOT sqlite_dir)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/sqlite-amalgamation.sh
                  OUTPUT_VARIABLE sqlite_dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE sqlite_made)
  if(NOT sqlite_made EQUAL 0 OR NOT EXISTS ${sqlite_dir}/sqlite3.c)
    message(FATAL_ERROR "SQLite's amalgamation could not be made (scripts/sqlite-amalgamation.sh); "
                        "name a folder with sqlite3.c and sqlite3.h in VOSTREL_SQLITE_DIR")
  endif()
endif()
add_library(vostrel_sqlite STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(vostrel_sqlite SYSTEM PUBLIC ${sqlite_dir})
# The program loads no extensions; each connection is used by one thread at a time.
target_compile_definitions(vostrel_sqlite PRIVATE SQLITE_OMIT_LOAD_EXTENSION SQLITE_THREADSAFE=2 SQLITE_DQS=0)
# One translation unit of a quarter million lines: at -O2 it is the longest compile of the Windows
# tree. The history writes a record a card and reads a few, so -O1 is plenty.
target_compile_options(vostrel_sqlite PRIVATE -O1)
