# Run at install time: writes FOLDER/vorlane-classes.ini anew by registering each of MODULES
# (file names in FOLDER, separated by ';') with REGSVR, then makes the module paths relative
# to FOLDER, which the runtime resolves against the registry file's folder.
set(registry "${FOLDER}/vorlane-classes.ini")
file(REMOVE "${registry}")
foreach(module IN LISTS MODULES)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "VORLANE_CLASS_REGISTRY=${registry}" "${REGSVR}" "${FOLDER}/${module}"
                  RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "regsvr could not register ${FOLDER}/${module}")
  endif()
endforeach()
file(REAL_PATH "${FOLDER}" resolved)
file(READ "${registry}" text)
string(REPLACE "=${resolved}/" "=" text "${text}")
file(WRITE "${registry}" "${text}")
file(CHMOD "${registry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
message(STATUS "Registered: ${registry}")
