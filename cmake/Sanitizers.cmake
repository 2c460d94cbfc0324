# BRINDLEX_SANITIZE: builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report. With clang the
# runtime is shared, so that the test copy of libBrindlex.so can keep
# -Wl,--no-undefined and the executables that dlopen it share one runtime.
set(BRINDLEX_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${BRINDLEX_SANITIZE_FLAGS})
add_link_options(${BRINDLEX_SANITIZE_FLAGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
                    OUTPUT_VARIABLE BRINDLEX_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(BRINDLEX_ASAN_RUNTIME_DIR ${BRINDLEX_ASAN_RUNTIME} DIRECTORY)
    add_link_options(-shared-libsan -Wl,-rpath,${BRINDLEX_ASAN_RUNTIME_DIR})
endif()
