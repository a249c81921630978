# vorlane_component(name [INSTALL] SOURCES ... [LIBS ...]): a component module, i.e. a shared library
# that exports DllGetClassObject, DllCanUnloadNow, DllRegisterServer and DllUnregisterServer
# (see platform/com/module_export.h) and nothing else.
#
# After every link, regsvr registers the module in the build tree's class registry
# (VORLANE_BUILD_CLASS_REGISTRY), so programs run from the build tree can create its classes
# without an install step. INSTALL puts the module into the installed component folder, where
# the install registers it (cmake/RegisterInstalled.cmake).

set(VORLANE_BUILD_CLASS_REGISTRY "${CMAKE_BINARY_DIR}/vorlane-classes.ini"
    CACHE INTERNAL "The class registry that the build registers its components into")

function(vorlane_component name)
  cmake_parse_arguments(ARG "INSTALL" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  if(ARG_INSTALL)
    install(TARGETS ${name} LIBRARY DESTINATION ${VORLANE_INSTALL_COMPONENT_DIR} NAMELINK_SKIP)
    set_property(GLOBAL APPEND PROPERTY VORLANE_INSTALLED_COMPONENTS ${name})
  endif()
  vorlane_target_defaults(${name})
  target_link_libraries(${name} PRIVATE vorlane_com ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # GCC marks some template and inline statics STB_GNU_UNIQUE, and glibc never unloads a
  # library that has one: CoFreeUnusedLibraries could not unload the component.
  target_compile_options(${name} PRIVATE -fno-gnu-unique)
  add_dependencies(${name} regsvr)
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env "VORLANE_CLASS_REGISTRY=${VORLANE_BUILD_CLASS_REGISTRY}"
            $<TARGET_FILE:regsvr> $<TARGET_FILE:${name}>
    COMMENT "Registering ${name} in ${VORLANE_BUILD_CLASS_REGISTRY}"
    VERBATIM)
endfunction()
