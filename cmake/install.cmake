# cmake --install puts the library, its public headers, an exported tessaro::tessaro target with
# its package configuration and version files, and a pkg-config file into the prefix.
include(CMakePackageConfigHelpers)

install(TARGETS tessaro EXPORT tessaro_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(tessaro_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tessaro)
install(EXPORT tessaro_targets NAMESPACE tessaro:: FILE tessaroTargets.cmake
        DESTINATION ${tessaro_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tessaroConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/tessaroConfig.cmake
                              INSTALL_DESTINATION ${tessaro_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tessaroConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessaroConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tessaroConfigVersion.cmake
        DESTINATION ${tessaro_cmake_dir})

# The prefix is found from the .pc file's own place, so that `cmake --install --prefix` anywhere
# gives a correct file.
file(RELATIVE_PATH tessaro_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tessaro.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tessaro.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessaro.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
