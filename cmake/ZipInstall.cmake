# What `cmake --install` puts where (GNUInstallDirs layout; ZIP_INSTALL_*
# come from the top-level CMakeLists):
#
#   component host: bin/zip-host; <libdir>/s_zip/ with libs_zip.so.1.0.0 and
#     its links libs_zip.so.1 (SONAME) and libs_zip.so (the name hosts open),
#     libs_tbuf.so, libs_zlib.so and libs_ini.so side by side (each module
#     finds libs_ini.so through its $ORIGIN run path); the man page.
#   component dev: the client headers in <includedir>/s_zip (the public
#     headers of the framework, the interfaces, the ZIP contract and the
#     client stubs); the static framework and client libraries a client
#     module links whole; the CMake package SZip (<libdir>/cmake/SZip) and
#     the pkg-config files s_zip.pc and s_zip-client.pc.
#
# Every path in the package and the pkg-config files is relative to the file
# itself, so an installed tree may be moved as a whole.
include(CMakePackageConfigHelpers)

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
install(FILES ${PROJECT_SOURCE_DIR}/docs/zip-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
install(FILES ${PROJECT_SOURCE_DIR}/docs/s_zip.ini.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT host)

install(TARGETS zip_framework zip_interfaces zip_contract zip_client EXPORT SZipTargets
  ARCHIVE DESTINATION ${ZIP_INSTALL_MODULEDIR} COMPONENT dev)
foreach(dir framework interfaces zip/include stubs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${ZIP_INSTALL_INCLUDEDIR} COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
endforeach()

set(zip_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/SZip)
install(EXPORT SZipTargets NAMESPACE SZip:: DESTINATION ${zip_cmake_dir} COMPONENT dev)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/SZipConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/SZipConfig.cmake
  ${PROJECT_BINARY_DIR}/package/SZipConfigVersion.cmake DESTINATION ${zip_cmake_dir} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own folder.
set(zip_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ZIP_PC_PREFIX_FROM_PCDIR /${zip_pc_dir} /)
string(REGEX REPLACE "/$" "" ZIP_PC_PREFIX_FROM_PCDIR "${ZIP_PC_PREFIX_FROM_PCDIR}")
foreach(pc s_zip s_zip-client)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${pc}.pc DESTINATION ${zip_pc_dir} COMPONENT dev)
endforeach()
