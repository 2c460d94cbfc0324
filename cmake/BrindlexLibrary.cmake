# brindlex_add_library(TARGET PORT OUTPUT_DIR): the shared library Brindlex,
# built with the given compiled-in POSIX port path (ignored on Windows, where
# the port is always COM61). Tests build a second copy with a port of their
# own.
set(BRINDLEX_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src)

# The platform-free logic: output tables, link lifecycle, exports.
set(BRINDLEX_LOGIC_SOURCES
    ${BRINDLEX_SOURCE_DIR}/outputs/outputs.cpp
    ${BRINDLEX_SOURCE_DIR}/link/link.cpp
    ${BRINDLEX_SOURCE_DIR}/api/exports.cpp)

if(WIN32)
    set(BRINDLEX_PORT_SOURCES ${BRINDLEX_SOURCE_DIR}/link/port_win32.cpp)
    set(BRINDLEX_ENTRY_SOURCES ${BRINDLEX_SOURCE_DIR}/link/entry_win32.cpp)
else()
    set(BRINDLEX_PORT_SOURCES
        ${BRINDLEX_SOURCE_DIR}/link/port_posix.cpp
        ${BRINDLEX_SOURCE_DIR}/link/port_posix_line.cpp)
    set(BRINDLEX_ENTRY_SOURCES ${BRINDLEX_SOURCE_DIR}/link/entry_posix.cpp)
endif()

# What the library's own code may use: no exceptions, no RTTI, no runtime
# beyond the C library.
function(brindlex_library_options target)
    target_include_directories(${target}
        PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>
        PRIVATE ${BRINDLEX_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE BRINDLEX_BUILDING_LIBRARY)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    # An output call crosses four small files on its way to the port; link-time
    # optimisation lets it run as one function (see docs/performance.md). Not
    # for the DLL: MinGW's linker then exports wrong addresses from the .def.
    if(NOT WIN32 AND NOT BRINDLEX_SANITIZE)
        set_target_properties(${target} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
    endif()
endfunction()

# Windows only: gives target a version resource from the project's version.
function(brindlex_version_resource target description filename filetype)
    set(BRINDLEX_RC_DESCRIPTION "${description}")
    set(BRINDLEX_RC_FILENAME "${filename}")
    set(BRINDLEX_RC_FILETYPE "${filetype}")
    get_filename_component(BRINDLEX_RC_NAME "${filename}" NAME_WE)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

function(brindlex_add_library target port output_dir)
    add_library(${target} SHARED ${BRINDLEX_LOGIC_SOURCES} ${BRINDLEX_PORT_SOURCES}
                                 ${BRINDLEX_ENTRY_SOURCES})
    brindlex_library_options(${target})
    target_compile_definitions(${target} PRIVATE BRINDLEX_PORT="${port}")
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME Brindlex
        PREFIX "${CMAKE_SHARED_LIBRARY_PREFIX}"
        LIBRARY_OUTPUT_DIRECTORY ${output_dir}
        RUNTIME_OUTPUT_DIRECTORY ${output_dir}
        ARCHIVE_OUTPUT_DIRECTORY ${output_dir}
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    if(WIN32)
        # The .def file alone decides the export table; the GCC runtime is
        # linked in so the DLL needs nothing but KERNEL32 and msvcrt.
        target_sources(${target} PRIVATE ${BRINDLEX_SOURCE_DIR}/Brindlex.def)
        set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
        target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++ -static)
        brindlex_version_resource(${target} "Brindlex output controller library" "Brindlex.dll" VFT_DLL)
    else()
        target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,-z,now)
        set_target_properties(${target} PROPERTIES
            VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    endif()
endfunction()
