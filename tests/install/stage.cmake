# A fresh install of BUILD into STAGE (every component), and a second one,
# stripped, installed elsewhere and then moved to MOVED, as a user moves a
# tree; then a third one into UNINSTALLED, which the uninstall script removes
# again from its manifest, leaving no file and no package folder. The build
# tree's install manifest, which `make uninstall` reads, is left as the
# user's own last install wrote it.
set(manifest ${BUILD}/install_manifest.txt)
if(EXISTS ${manifest})
  file(RENAME ${manifest} ${manifest}.kept)
endif()
foreach(dir ${STAGE} ${MOVED} ${MOVED}.before ${UNINSTALLED})
  file(REMOVE_RECURSE ${dir})
endforeach()
set(strip_${MOVED}.before --strip)
foreach(prefix ${STAGE} ${MOVED}.before ${UNINSTALLED})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} ${strip_${prefix}}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    if(EXISTS ${manifest}.kept)
      file(RENAME ${manifest}.kept ${manifest})
    endif()
    message(FATAL_ERROR "install into ${prefix} failed (${rc})")
  endif()
endforeach()
file(RENAME ${MOVED}.before ${MOVED})

execute_process(COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest} -P ${CMAKE_CURRENT_LIST_DIR}/../../cmake/ZipUninstall.cmake
                OUTPUT_QUIET RESULT_VARIABLE rc)
file(GLOB_RECURSE left LIST_DIRECTORIES false ${UNINSTALLED}/*)
set(folders_left "")
foreach(dir include/s_zip lib/s_zip lib/cmake/SZip share/doc/s_zip)
  if(EXISTS ${UNINSTALLED}/${dir})
    list(APPEND folders_left ${dir})
  endif()
endforeach()
file(REMOVE ${manifest})
if(EXISTS ${manifest}.kept)
  file(RENAME ${manifest}.kept ${manifest})
endif()
if(NOT rc EQUAL 0 OR left OR folders_left)
  message(FATAL_ERROR "uninstall (${rc}) left ${left} ${folders_left}")
endif()
