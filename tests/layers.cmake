# Calls between the engine's floors go one way: the index (xbase/index/)
# and the memo files (xbase/memo4.*) call nothing of the table above them.
# Run as `cmake -DSOURCE_DIR=<root> -P layers.cmake`; it fails, naming the
# file and the call, when one of those files includes a table header
# (xbase/d4*.h) or calls a table function (d4...), except for the upward
# calls still listed below. An entry of the list that no longer occurs
# fails too, so that the list shrinks with the code.
cmake_minimum_required(VERSION 3.25)

# file|function: upward calls that remain, each for a reason given in the
# README's "Layers".
set(allowed
    "xbase/index/i4flight.cpp|d4pack_finish"
    "xbase/index/i4index.cpp|d4write_behind"
    "xbase/index/r4reindex.cpp|d4write_behind"
    "xbase/index/r4reindex.cpp|d4lock_file"
    "xbase/index/r4reindex.cpp|d4reccount"
    "xbase/index/r4reindex.cpp|d4update_record"
    "xbase/index/t4tag.cpp|d4reccount"
    "xbase/memo4.cpp|d4flush"
    "xbase/memo4.cpp|d4validate_memo_ids")

file(GLOB files RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/xbase/index/*.cpp ${SOURCE_DIR}/xbase/index/*.h
     ${SOURCE_DIR}/xbase/memo4.cpp ${SOURCE_DIR}/xbase/memo4.h)
if(NOT files)
  message(FATAL_ERROR "no index or memo sources under ${SOURCE_DIR}")
endif()

set(problems "")
set(seen "")
foreach(f IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${f} lines)
  set(calls_up FALSE)
  set(includes "")
  foreach(line IN LISTS lines)
    # Comments say what the code keeps true and may name any function.
    string(REGEX REPLACE "//.*" "" code "${line}")
    if(code MATCHES "#include \"xbase/(d4[a-z0-9_]*\\.h)\"")
      list(APPEND includes "${CMAKE_MATCH_1}")
      continue()
    endif()
    string(REGEX MATCHALL "(^|[^A-Za-z0-9_>.])d4[a-z_][a-z0-9_]*[ ]*\\(" found "${code}")
    foreach(call IN LISTS found)
      string(REGEX REPLACE "^[^d]*(d4[a-z0-9_]*).*" "\\1" name "${call}")
      if("${f}|${name}" IN_LIST allowed)
        list(APPEND seen "${f}|${name}")
        set(calls_up TRUE)
      else()
        list(APPEND problems "${f} calls ${name}")
      endif()
    endforeach()
  endforeach()
  # A table header only where a listed call needs its declaration.
  foreach(h IN LISTS includes)
    if(NOT calls_up OR NOT h STREQUAL "d4data.h")
      list(APPEND problems "${f} includes xbase/${h}")
    endif()
  endforeach()
endforeach()

foreach(entry IN LISTS allowed)
  if(NOT entry IN_LIST seen)
    list(APPEND problems "listed but no longer called: ${entry}")
  endif()
endforeach()

if(problems)
  list(REMOVE_DUPLICATES problems)
  string(REPLACE ";" "\n  " text "${problems}")
  message(FATAL_ERROR "the index and memo floors call up into the table:\n  ${text}")
endif()
list(LENGTH allowed n)
message(STATUS "the index and memo floors call no table function beyond the ${n} listed")
