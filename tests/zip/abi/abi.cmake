# The ABI description of a built module and its comparison with the one kept
# in the repository.
#
#   cmake -DABIDW=<abidw> -DABIDIFF=<abidiff> -DLIB=<module.so>
#         -DSOURCE_DIR=<project root> -DBASELINE=<kept .abi> -DOUT=<new .abi>
#         -DMODE=check|update -P abi.cmake
#
# The description covers what the module exports and the types that reach it
# from the public header folders (framework, interfaces, zip/include, stubs).
# It leaves out everything that changes with the place or time of a build:
# source locations, compilation directories, the file's own path, and
# sequential type numbers; source paths are kept relative to the project.
# A rebuild in the same place gives the same file; one in another place may
# order some elements differently, which abidiff does not count as a change.
# check: describes LIB into OUT and compares it with BASELINE; any change,
# compatible or not, fails and prints abidiff's report. update: describes LIB
# into BASELINE.
foreach(var ABIDW ABIDIFF LIB SOURCE_DIR BASELINE OUT MODE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "" OR "${${var}}" MATCHES "-NOTFOUND$")
    message(FATAL_ERROR "abi: ${var} is not set (abidw and abidiff come with abigail-tools, "
      "which scripts/install-deps.sh installs)")
  endif()
endforeach()

set(headers "")
foreach(dir framework interfaces zip/include stubs)
  list(APPEND headers --headers-dir ${SOURCE_DIR}/${dir})
endforeach()
execute_process(COMMAND ${ABIDW} --no-corpus-path --no-comp-dir-path --no-show-locs
                  --type-id-style hash --drop-private-types --drop-undefined-syms ${headers}
                  --out-file ${OUT}.raw ${LIB}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "abi: abidw failed on ${LIB} (${rc}): ${err}")
endif()
file(READ ${OUT}.raw description)
string(REPLACE "'${SOURCE_DIR}/" "'" description "${description}")
if(MODE STREQUAL "update")
  file(WRITE ${BASELINE} "${description}")
  message(STATUS "abi: wrote ${BASELINE}")
  return()
endif()
file(WRITE ${OUT} "${description}")

execute_process(COMMAND ${ABIDIFF} ${BASELINE} ${OUT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "abi: ${LIB} differs from ${BASELINE} (abidiff ${rc}):\n${report}${err}\n"
    "If the change is deliberate, regenerate the baseline (docs/compatibility.md).")
endif()
message(STATUS "abi: ${LIB} matches ${BASELINE}")
