# Test helpers shared by every directory.
#   lumaro_add_gtest(NAME SOURCES ... LIBS ... [PROPERTIES ...])   GoogleTest
#       binary, one ctest entry per test case (named Suite.Case); native on
#       the host build, cross-compiled and run under Wine on windows.
#       PROPERTIES are set on every case (LABELS, TIMEOUT, ENVIRONMENT, ...).
#   lumaro_add_fuzzer(NAME SOURCES ... LIBS ...)  libFuzzer target, only in the
#       fuzz build (clang); ctest runs it for LUMARO_FUZZ_SECONDS.
include_guard(GLOBAL)
include(GoogleTest)

option(LUMARO_FUZZ "Build only the libFuzzer targets (clang)" OFF)
set(LUMARO_FUZZ_SECONDS 60 CACHE STRING "Bounded fuzz time per target in ctest")

if(NOT LUMARO_FUZZ AND LUMARO_BUILD_TESTS)
  if(LUMARO_WINDOWS)
    # Debian's googletest ships its sources; build them for the mingw target.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
    add_library(lumaro_gtest INTERFACE)
    target_link_libraries(lumaro_gtest INTERFACE gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    add_library(lumaro_gtest INTERFACE)
    target_link_libraries(lumaro_gtest INTERFACE GTest::gtest GTest::gtest_main)
  endif()
endif()

function(lumaro_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(LUMARO_FUZZ)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} lumaro_gtest)
  # The cases are listed when ctest runs, not when the binary is linked: under
  # Wine the listing needs the prefix and server that only a test run has.
  # A Wine start can take seconds on a busy machine, hence the bound.
  # (A list-valued property does not survive the generated script of this
  # CMake: give one label at most.)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${T_PROPERTIES})
endfunction()

function(lumaro_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT LUMARO_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${LUMARO_FUZZ_SECONDS} -rss_limit_mb=2048
                   -print_final_stats=1 ${corpus})
endfunction()
