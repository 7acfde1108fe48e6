# What `cmake --install` puts where (GNUInstallDirs layout; ZIP_INSTALL_*
# come from the top-level CMakeLists):
#
#   component host: bin/zip-host; <libdir>/s_zip/ with libs_zip.so.1.0.0 and
#     its links libs_zip.so.1 (SONAME) and libs_zip.so (the name hosts open),
#     libs_tbuf.so, libs_zlib.so and libs_ini.so side by side (each module
#     finds libs_ini.so through its $ORIGIN run path) and their digest
#     manifest s_zip.sha256; the man page.
#   component dev: the client headers in <includedir>/s_zip (the public
#     headers of the framework, the interfaces, the ZIP contract and the
#     client stubs), which consumers include as <s_zip/NAME.h> with
#     <includedir> alone on their path; the static framework and client
#     libraries a client module links whole; the CMake package SZip
#     (<libdir>/cmake/SZip) and the pkg-config files s_zip.pc and
#     s_zip-client.pc.
#
# Every path in the CMake package is relative to the package's own folder,
# so an installed tree may be moved as a whole. The pkg-config files name
# the prefix they were installed to, normalised (written at install time, so
# `cmake --install --prefix P` names P); after a move, `pkg-config
# --define-prefix` finds the prefix from the file's own folder instead.
include(CMakePackageConfigHelpers)

set_target_properties(zip_headers PROPERTIES EXPORT_NAME headers)
set_target_properties(zip_framework PROPERTIES EXPORT_NAME framework)
set_target_properties(zip_interfaces PROPERTIES EXPORT_NAME interfaces)
set_target_properties(zip_contract PROPERTIES EXPORT_NAME contract)
set_target_properties(zip_client PROPERTIES EXPORT_NAME client)
set_target_properties(libs_zip PROPERTIES EXPORT_NAME zip)
set_target_properties(s_ini PROPERTIES EXPORT_NAME ini)

install(TARGETS zip-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
# libs_ini.so comes into the package as what libs_zip.so links (SZip::ini).
install(TARGETS libs_zip s_ini EXPORT SZipTargets
  LIBRARY DESTINATION ${ZIP_INSTALL_MODULEDIR} COMPONENT host NAMELINK_COMPONENT host)
foreach(module libs_tbuf libs_zlib)
  install(TARGETS ${module} LIBRARY DESTINATION ${ZIP_INSTALL_MODULEDIR} COMPONENT host)
endforeach()
install(FILES ${ZIP_MANIFEST} DESTINATION ${ZIP_INSTALL_MODULEDIR} COMPONENT host)
install(FILES ${PROJECT_SOURCE_DIR}/docs/zip-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
install(FILES ${PROJECT_SOURCE_DIR}/docs/s_zip.ini.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT host)

install(TARGETS zip_headers zip_framework zip_interfaces zip_contract zip_client EXPORT SZipTargets
  ARCHIVE DESTINATION ${ZIP_INSTALL_MODULEDIR} COMPONENT dev)
foreach(dir ${ZIP_PUBLIC_HEADER_DIRS})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${ZIP_INSTALL_INCLUDEDIR} COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
endforeach()

set(zip_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/SZip)
install(EXPORT SZipTargets NAMESPACE SZip:: DESTINATION ${zip_cmake_dir} COMPONENT dev)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/SZipConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/SZipConfig.cmake
  ${PROJECT_BINARY_DIR}/package/SZipConfigVersion.cmake DESTINATION ${zip_cmake_dir} COMPONENT dev)

# pkg-config: everything but the prefix is filled in now; the prefix when
# installing, from the prefix the install runs with.
set(zip_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(ZIP_PC_PREFIX "@ZIP_PC_PREFIX@")
foreach(pc s_zip s_zip-client)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc.in @ONLY)
  install(CODE "
    get_filename_component(ZIP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    cmake_path(NORMAL_PATH ZIP_PC_PREFIX)
    string(REGEX REPLACE \"(.)/$\" \"\\\\1\" ZIP_PC_PREFIX \"\${ZIP_PC_PREFIX}\")
    configure_file(${PROJECT_BINARY_DIR}/package/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc @ONLY)"
    COMPONENT dev)
  install(FILES ${PROJECT_BINARY_DIR}/package/${pc}.pc DESTINATION ${zip_pc_dir} COMPONENT dev)
endforeach()

# component doc: the README, this CHANGELOG, the guides with their pictures,
# and the example client module, in <datarootdir>/doc/s_zip, laid out as in
# the source tree so that their links between each other hold.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT doc
  FILES_MATCHING PATTERN "*.md" PATTERN "*.svg")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT doc)

# `cmake --build <dir> --target uninstall` (make uninstall): removes every
# file the last install from this build tree recorded in its manifest.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/ZipUninstall.cmake
  COMMENT "Removing the files of the last install" VERBATIM)
