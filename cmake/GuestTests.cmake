# Test binaries of a cross build cannot run on this machine. They run inside
# the driver tier's guest instead, which boots once, runs every one listed
# here and keeps their output; each then counts as one CTest test that reads
# its result. Natively, GoogleTest binaries are discovered test by test.
include(GoogleTest)

# brindlex_add_gtest(TARGET [GUEST_ARGS args...] [PROPERTIES props...])
function(brindlex_add_gtest target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "GUEST_ARGS;PROPERTIES")
    if(CMAKE_CROSSCOMPILING)
        brindlex_guest_test(${target} $<TARGET_FILE:${target}> ${arg_GUEST_ARGS})
    else()
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 PROPERTIES ${arg_PROPERTIES})
    endif()
endfunction()

# A command run inside the guest, by absolute path, as CTest test NAME.
function(brindlex_guest_test name)
    list(JOIN ARGN " " command)
    set_property(GLOBAL APPEND PROPERTY BRINDLEX_GUEST_MANIFEST "test ${name} ${command}")
    set_property(GLOBAL APPEND PROPERTY BRINDLEX_GUEST_TEST_NAMES ${name})
endfunction()

# A file the guest's tests open by the path compiled into them; it keeps its
# path in the guest.
function(brindlex_guest_file path)
    if(CMAKE_CROSSCOMPILING)
        set_property(GLOBAL APPEND PROPERTY BRINDLEX_GUEST_MANIFEST "file ${path}")
    endif()
endfunction()

# Called once everything is configured: writes the manifest the guest is
# built from and adds a test for each command's result.
function(brindlex_guest_results fixture driver out manifest)
    get_property(lines GLOBAL PROPERTY BRINDLEX_GUEST_MANIFEST)
    get_property(names GLOBAL PROPERTY BRINDLEX_GUEST_TEST_NAMES)
    list(JOIN lines "\n" content)
    file(GENERATE OUTPUT ${manifest} CONTENT "${content}\n")
    foreach(name IN LISTS names)
        add_test(NAME ${fixture}.${name} COMMAND ${driver} result --out ${out} ${name})
        set_tests_properties(${fixture}.${name} PROPERTIES FIXTURES_REQUIRED ${fixture})
    endforeach()
endfunction()
