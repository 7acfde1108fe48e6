# A fresh install of BUILD into STAGE (every component), and a second one
# installed elsewhere and then moved to MOVED, as a user moves a tree.
foreach(dir ${STAGE} ${MOVED} ${MOVED}.before)
  file(REMOVE_RECURSE ${dir})
endforeach()
foreach(prefix ${STAGE} ${MOVED}.before)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install into ${prefix} failed (${rc})")
  endif()
endforeach()
file(RENAME ${MOVED}.before ${MOVED})
