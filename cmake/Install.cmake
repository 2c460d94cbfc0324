# What `cmake --install` puts where: the library and header for hosts, the
# host tool, and what a build system needs to find them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS Brindlex EXPORT BrindlexTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/brindlex.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS brindlex_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
    # From the .def file an MSVC user makes an import library: lib /def:Brindlex.def
    install(FILES ${PROJECT_SOURCE_DIR}/src/Brindlex.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
    install(TARGETS brindlex_emulator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    configure_file(${CMAKE_CURRENT_LIST_DIR}/brindlex.pc.in ${CMAKE_BINARY_DIR}/brindlex.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/brindlex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

    set(BRINDLEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Brindlex)
    install(EXPORT BrindlexTargets NAMESPACE Brindlex:: DESTINATION ${BRINDLEX_CMAKE_DIR})
    configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/BrindlexConfig.cmake.in
        ${CMAKE_BINARY_DIR}/BrindlexConfig.cmake INSTALL_DESTINATION ${BRINDLEX_CMAKE_DIR})
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/BrindlexConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_BINARY_DIR}/BrindlexConfig.cmake ${CMAKE_BINARY_DIR}/BrindlexConfigVersion.cmake
        DESTINATION ${BRINDLEX_CMAKE_DIR})
endif()
