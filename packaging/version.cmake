# Writes the version header of the installed programs (cmake -P):
#   -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=.../qv_version.h
# The version is project(VERSION) of the top CMakeLists.txt; when SOURCE_DIR
# is the top of a git checkout, `git describe` follows it. Run at every build;
# the header is rewritten only when its text changes, so nothing rebuilds then.
set(description "")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Sources unpacked inside some other checkout do not take its description.
  if(rc EQUAL 0 AND EXISTS "${top}")
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" src)
    if(top STREQUAL src)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --tags --always --dirty
                      OUTPUT_VARIABLE description RESULT_VARIABLE rc ERROR_QUIET
                      OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT rc EQUAL 0)
        set(description "")
      endif()
    endif()
  endif()
endif()
if(description STREQUAL "")
  set(full "${VERSION}")
else()
  set(full "${VERSION} (git ${description})")
endif()
set(text "// Written by packaging/version.cmake at build time: do not edit.
#pragma once
#define QV_VERSION \"${VERSION}\"
#define QV_VERSION_TEXT \"${full}\"
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
