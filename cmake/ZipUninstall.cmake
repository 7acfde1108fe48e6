# cmake -DMANIFEST=<build>/install_manifest.txt -P ZipUninstall.cmake
#
# Removes every file and link the install that wrote MANIFEST put in place
# (the paths are as installed, DESTDIR included), then the folders left
# empty that lie at or below one named s_zip or SZip (the module, header,
# documentation and CMake package folders, or a prefix of that name). Other
# folders (bin, lib, share/man/... of a shared prefix) stay, empty or not,
# and a folder that still holds anything stays. Files already gone are
# reported and skipped.
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "uninstall: no install manifest ${MANIFEST}: nothing was installed from this build tree")
endif()
file(STRINGS "${MANIFEST}" files)
set(dirs "")
foreach(f ${files})
  if(IS_SYMLINK "${f}" OR EXISTS "${f}")
    message(STATUS "Removing ${f}")
    file(REMOVE "${f}")
  else()
    message(STATUS "Already gone: ${f}")
  endif()
  # Every folder between the file and the nearest s_zip/SZip folder above it.
  get_filename_component(d "${f}" DIRECTORY)
  while(d MATCHES "/(s_zip|SZip)(/|$)")
    list(APPEND dirs "${d}")
    get_filename_component(d "${d}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES dirs)
# Deepest first, so a folder's subfolders are gone before it is looked at.
list(SORT dirs ORDER DESCENDING)
foreach(d ${dirs})
  file(GLOB left "${d}/*" "${d}/.*")
  if(IS_DIRECTORY "${d}" AND NOT left)
    message(STATUS "Removing empty folder ${d}")
    file(REMOVE_RECURSE "${d}")
  endif()
endforeach()
