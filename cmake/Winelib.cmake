# The Winelib build: Brindlex.dll for Windows hosts under Wine, made of the
# Linux library's code (the same port, line check and lock) with a Windows
# entry point and export table. winegcc links it as brindlex.dll.so, which
# Wine looks for in lower case in the folders WINEDLLPATH names; the host
# finds the placeholder Brindlex.dll that winebuild makes where it would find
# the Windows one, and Wine then loads the .so in its place.
find_program(BRINDLEX_WINEGCC winegcc REQUIRED)
find_program(BRINDLEX_WINEBUILD winebuild PATHS /usr/lib/wine REQUIRED)

add_library(brindlex_winelib_objects OBJECT ${BRINDLEX_LOGIC_SOURCES} ${BRINDLEX_PORT_SOURCES}
                                            ${BRINDLEX_SOURCE_DIR}/link/entry_winelib.cpp)
brindlex_library_options(brindlex_winelib_objects)
# winegcc links with the plain linker: no link-time optimisation objects.
set_target_properties(brindlex_winelib_objects PROPERTIES INTERPROCEDURAL_OPTIMIZATION OFF
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_compile_definitions(brindlex_winelib_objects PRIVATE BRINDLEX_PORT="${BRINDLEX_PORT}")

set(exports ${BRINDLEX_SOURCE_DIR}/Brindlex-winelib.def)
set(out ${CMAKE_BINARY_DIR}/winelib)
add_custom_command(OUTPUT ${out}/brindlex.dll.so ${out}/Brindlex.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${BRINDLEX_WINEGCC} -b ${BRINDLEX_WINELIB_TARGET} -shared -Wl,-z,now
            -o ${out}/brindlex.dll ${exports} $<TARGET_OBJECTS:brindlex_winelib_objects>
    COMMAND ${BRINDLEX_WINEBUILD} --target ${BRINDLEX_WINELIB_TARGET} --dll --fake-module
            -E ${exports} -F Brindlex.dll -o ${out}/Brindlex.dll
    DEPENDS brindlex_winelib_objects $<TARGET_OBJECTS:brindlex_winelib_objects> ${exports}
    COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(BrindlexWinelib ALL DEPENDS ${out}/brindlex.dll.so ${out}/Brindlex.dll)

# lib/brindlex/wine-x64 in an archive; in the multiarch folder for Debian.
install(FILES ${out}/brindlex.dll.so ${out}/Brindlex.dll
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/brindlex/${BRINDLEX_WINELIB_FOLDER})
