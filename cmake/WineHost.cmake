# Windows programs that the tests and the benchmark run under Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(BRINDLEX_WINE_LOADER /usr/lib/wine/wine64)
else()
    set(BRINDLEX_WINE_LOADER /usr/lib/wine/wine)
endif()
# One prefix per build directory, made and stopped by the wine.prefix fixture.
set(BRINDLEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# A host program that lives beside Brindlex.dll, so that LoadLibraryW finds the
# DLL as a real host's would; static, so that it runs on a bare prefix.
function(brindlex_add_wine_host name source)
    add_executable(${name} ${source})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    target_link_options(${name} PRIVATE -static)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()
