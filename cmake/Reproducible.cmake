# The same sources give the same binaries in any folder on any day: paths in
# debug information and __FILE__ are relative to the source folder (a
# debugger started there finds the sources), and PE files carry no link time.
set(BRINDLEX_PREFIX_MAP -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${BRINDLEX_PREFIX_MAP}>)
# Link-time optimisation compiles again while linking.
add_link_options(${BRINDLEX_PREFIX_MAP})
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()
