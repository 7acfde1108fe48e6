# Compares the dynamic symbols a module defines with the list kept in the
# repository (one mangled name per line, sorted; '#' starts a comment line).
#
#   cmake -DNM=<nm> -DLIB=<module.so> -DEXPECTED=<list> -P check_exports.cmake
#
# Symbols the linker or a sanitizer runtime adds on its own are left out of
# the comparison, so the same list holds for every build of the module.
foreach(var NM LIB EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIB}: ${err}")
endif()

set(ignored "^(__asan|___asan|__odr_asan|__tsan|__ubsan|__lsan|__sanitizer|__sancov|_init$|_fini$|_edata$|_end$|__bss_start$)")
set(actual "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "${ignored}")
      list(APPEND actual "${name}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
list(SORT actual)

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(SORT expected)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  list(JOIN missing "\n  " missing_text)
  list(JOIN extra "\n  " extra_text)
  message(FATAL_ERROR "exported symbols of ${LIB} differ from ${EXPECTED}\n"
    "missing:\n  ${missing_text}\nunexpected:\n  ${extra_text}")
endif()
list(LENGTH actual n)
message(STATUS "${n} exported symbols, as listed")
