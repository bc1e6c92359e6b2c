# Test programs run under Wine in a private prefix inside the build tree.
# On Windows itself they run directly.
if(CMAKE_HOST_WIN32)
    set(QVX_WINE64 "")
else()
    find_program(QVX_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
    if(NOT QVX_WINE64)
        find_program(QVX_WINE64 NAMES wine64 wine REQUIRED)
    endif()
endif()
set(QVX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

add_library(gtest STATIC IMPORTED GLOBAL)
set_target_properties(gtest PROPERTIES
    IMPORTED_LOCATION ${QVX_DEPS_DIR}/googletest/lib/libgtest.a
    INTERFACE_INCLUDE_DIRECTORIES ${QVX_DEPS_DIR}/googletest/include)
add_library(gmock STATIC IMPORTED GLOBAL)
set_target_properties(gmock PROPERTIES
    IMPORTED_LOCATION ${QVX_DEPS_DIR}/googletest/lib/libgmock.a
    INTERFACE_LINK_LIBRARIES gtest)

if(NOT CMAKE_HOST_WIN32)
add_test(NAME wine_prefix_up
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh up ${QVX_WINEPREFIX})
set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
add_test(NAME wine_prefix_down
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh down ${QVX_WINEPREFIX})
set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine)
endif()

set(QVX_TEST_ENV
    WINEPREFIX=${QVX_WINEPREFIX}
    WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=
    QVX_BIN_DIR=${QVX_BIN_DIR})

# qvx_add_test(NAME sources... [LIBS libs...] [RESOURCE_LOCK names...] [TIMEOUT s])
# Builds a GoogleTest program (with tests/support) and registers it with CTest.
# Tests that use machine-wide names (the real control pipe, the SCM
# registration) take RESOURCE_LOCK scm so they never run at the same time.
function(qvx_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "LIBS;RESOURCE_LOCK" ${ARGN})
    add_executable(${name} ${T_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE qvx_test_support qvxcore gmock gtest ${T_LIBS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${QVX_WINE64} $<TARGET_FILE:${name}> --gtest_color=no)
    # Under Wine a program that crashes can still end with exit code 0: a
    # test program passes only when GoogleTest got to its summary and
    # reported no failure.
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED wine
        ENVIRONMENT "${QVX_TEST_ENV}"
        PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ test"
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]"
        TIMEOUT ${T_TIMEOUT})
    if(T_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
endfunction()
