include(CMakePackageConfigHelpers)

install(TARGETS le_core EXPORT le_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(LE_ORT_BUNDLED)
  file(GLOB _le_ort_runtime "${LE_ORT_LIBDIR}/libonnxruntime.so*")
  install(FILES ${_le_ort_runtime} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES le/le.h le/le_a2x.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/le)
# The Python binding and live host, where LIBDIR/python3/dist-packages/le_core
# finds LIBDIR/lible_core.so.
install(DIRECTORY python/le_core DESTINATION ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages
  PATTERN __pycache__ EXCLUDE)
install(EXPORT le_coreTargets NAMESPACE le_core::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
configure_package_config_file(cmake/le_coreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/le_coreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/le_coreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/le_coreConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/le_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
# Relocatable: the prefix is found from where the .pc file is installed.
file(RELATIVE_PATH LE_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
set(LE_PC_PREFIX "\${pcfiledir}/${LE_PC_UP}")
configure_file(cmake/le_core.pc.in ${CMAKE_CURRENT_BINARY_DIR}/le_core.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/le_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
