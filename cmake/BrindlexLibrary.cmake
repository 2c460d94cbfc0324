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
    target_include_directories(${target} PUBLIC ${BRINDLEX_SOURCE_DIR}/../include
                                         PRIVATE ${BRINDLEX_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE BRINDLEX_BUILDING_LIBRARY)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    # An output call crosses four small files on its way to the port; link-time
    # optimisation lets it run as one function (see docs/performance.md). Not
    # for the DLL: MinGW's linker then exports wrong addresses from the .def.
    if(NOT WIN32)
        set_target_properties(${target} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
    endif()
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
        set_target_properties(${target} PROPERTIES PREFIX "")
        target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++ -static)
    else()
        target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,-z,now)
    endif()
endfunction()
