# Shared settings for every target of our own code.

if(VORLANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12's flow analysis reports false "maybe uninitialized" warnings inside the standard
  # library once the sanitizers instrument it.
  add_compile_options(-Wno-maybe-uninitialized)
endif()

# Warnings as errors apply to our own targets only, never to what we pull in.
function(vorlane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()

# vorlane_library(name STATIC|SHARED SOURCES ... [LIBS ...])
function(vorlane_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} ${kind} ${ARG_SOURCES})
  vorlane_target_defaults(${name})
  if(ARG_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  endif()
endfunction()

# vorlane_test(name SOURCES ... [LIBS ...]): one GoogleTest program, its cases registered with CTest,
# linked with the shared test support (testing/).
function(vorlane_test name)
  if(NOT VORLANE_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vorlane_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vorlane_test_support GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
