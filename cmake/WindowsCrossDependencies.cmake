# The libraries a Windows cross build needs, from the build machine's Debian
# packages: {fmt}, CLI11 and nlohmann-json header-only, GoogleTest built for the target from
# its sources (package googletest).
set(VANTREL_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${VANTREL_HOST_HEADERS})
foreach(dir fmt CLI nlohmann)
    if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "/usr/include/${dir} is missing: install libfmt-dev, libcli11-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${VANTREL_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()

add_library(vantrel_fmt INTERFACE)
target_include_directories(vantrel_fmt SYSTEM INTERFACE ${VANTREL_HOST_HEADERS})
target_compile_definitions(vantrel_fmt INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt ALIAS vantrel_fmt)

add_library(vantrel_cli11 INTERFACE)
target_include_directories(vantrel_cli11 SYSTEM INTERFACE ${VANTREL_HOST_HEADERS})
add_library(CLI11::CLI11 ALIAS vantrel_cli11)

add_library(vantrel_json INTERFACE)
target_include_directories(vantrel_json SYSTEM INTERFACE ${VANTREL_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json ALIAS vantrel_json)

if(VANTREL_BUILD_TESTS)
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
        message(FATAL_ERROR "/usr/src/googletest is missing: install googletest")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(target gtest gtest_main gmock gmock_main)
        if(NOT TARGET GTest::${target})
            add_library(GTest::${target} ALIAS ${target})
        endif()
    endforeach()
endif()
