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

    # Relative, so that an unpacked tree works wherever it lies; the system's
    # own /usr as it is, so that pkg-config leaves out its default paths.
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(BRINDLEX_PC_PREFIX /usr)
    else()
        file(RELATIVE_PATH BRINDLEX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
        set(BRINDLEX_PC_PREFIX "\${pcfiledir}/${BRINDLEX_PC_TO_PREFIX}")
    endif()
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

    # Man pages, written in scdoc and turned into roff at build time, dated
    # as the commit (scdoc takes SOURCE_DATE_EPOCH). The stamp changes only
    # when that date does, and the pages are made again then.
    find_program(BRINDLEX_SCDOC scdoc REQUIRED)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/source-date-epoch
                    OUTPUT_VARIABLE BRINDLEX_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(BRINDLEX_SOURCE_DATE_STAMP ${CMAKE_BINARY_DIR}/man/source-date)
    file(CONFIGURE OUTPUT ${BRINDLEX_SOURCE_DATE_STAMP} CONTENT "${BRINDLEX_SOURCE_DATE}\n")
    set(BRINDLEX_MAN_PAGES brindlex.1 brindlex-emulator.1 brindlex.3)
    set(BRINDLEX_MAN_OUTPUTS)
    foreach(page ${BRINDLEX_MAN_PAGES})
        set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
        set(output ${CMAKE_BINARY_DIR}/man/${page})
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${BRINDLEX_SOURCE_DATE}
                    sh -c "\"${BRINDLEX_SCDOC}\" < \"${source}\" > \"${output}\""
            DEPENDS ${source} ${BRINDLEX_SOURCE_DATE_STAMP} VERBATIM)
        list(APPEND BRINDLEX_MAN_OUTPUTS ${output})
        string(REGEX MATCH "[0-9]$" section ${page})
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(brindlex_man_pages ALL DEPENDS ${BRINDLEX_MAN_OUTPUTS})

    install(FILES ${PROJECT_SOURCE_DIR}/completions/brindlex.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brindlex)
endif()
