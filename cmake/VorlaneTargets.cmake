# Shared settings for every target of our own code.

if(VORLANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12's flow analysis reports false "maybe uninitialized" warnings inside the standard
  # library once the sanitizers instrument it.
  add_compile_options(-Wno-maybe-uninitialized)
endif()

# The thread-affinity checks (ThreadAffinity::Assert, platform/loop/thread_affinity.h) run in
# Debug builds and in the sanitizer build, and are compiled out of the others. They have a
# switch of their own instead of following NDEBUG, which RelWithDebInfo (the sanitizer build's
# type too) defines. One value for the whole tree: the runtime and every component agree (the
# header takes an undefined switch as 0).
add_compile_definitions($<$<OR:$<BOOL:${VORLANE_SANITIZE}>,$<CONFIG:Debug>>:VORLANE_THREAD_CHECKS=1>)

# Warnings as errors apply to our own targets only, never to what we pull in. Every target of
# ours names the source root for itself: it is nobody's usage requirement, so linking a library
# hands on nothing but the library (which layer may include which is vorlane_layer's to check).
function(vorlane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
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

# vorlane_layer(target FOLDERS dir... FORBID dir...): the sources and headers in FOLDERS (relative
# to the source root, tests included) may not include headers of the FORBID folders, the layers
# built on top of this one. Checked before the target builds, so an include against the
# direction fails the build where it is written, not only at link time.
function(vorlane_layer target)
  cmake_parse_arguments(ARG "" "" "FOLDERS;FORBID" ${ARGN})
  set(files "")
  foreach(folder IN LISTS ARG_FOLDERS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${folder}/*.h" "${PROJECT_SOURCE_DIR}/${folder}/*.cpp")
    list(APPEND files ${found})
  endforeach()
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.layer")
  string(REPLACE ";" "|" fileArg "${files}")
  string(REPLACE ";" "|" forbidArg "${ARG_FORBID}")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND ${CMAKE_COMMAND} "-DFILES=${fileArg}" "-DFORBIDDEN=${forbidArg}" "-DLAYER=${ARG_FOLDERS}"
            "-DSTAMP=${stamp}" -P "${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake"
    DEPENDS ${files} "${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake"
    COMMENT "Checking the includes of ${target}"
    VERBATIM)
  add_custom_target(${target}_layer DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_layer)
endfunction()
