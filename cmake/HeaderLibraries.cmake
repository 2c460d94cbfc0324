# CLI11, nlohmann/json and Boost (Beast and Asio, the header-only parts) for the tools: header-only packages from Debian's
# archive. A cross build cannot take /usr/include whole (its C library is the
# machine's, not the target's), so each package's own folder is linked into a
# folder of the build that holds nothing else.
function(brindlex_header_library target header)
    find_path(${target}_ROOT ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    if(NOT ${target}_ROOT)
        message(FATAL_ERROR "${header} not found: run scripts/setup")
    endif()
    string(REGEX MATCH "^[^/]+" folder ${header})
    set(staged ${CMAKE_BINARY_DIR}/header-libraries/${target})
    file(MAKE_DIRECTORY ${staged})
    file(CREATE_LINK ${${target}_ROOT}/${folder} ${staged}/${folder} SYMBOLIC)
    add_library(${target} INTERFACE)
    target_include_directories(${target} SYSTEM INTERFACE ${staged})
endfunction()

brindlex_header_library(brindlex_cli11 CLI/CLI.hpp)
brindlex_header_library(brindlex_json nlohmann/json.hpp)
brindlex_header_library(brindlex_boost boost/beast.hpp)
# Asio and Beast as headers only: no Boost library to link, for MinGW too.
target_compile_definitions(brindlex_boost INTERFACE BOOST_ERROR_CODE_HEADER_ONLY)
