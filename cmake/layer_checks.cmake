# The build checks the direction of the dependencies between the layers, so that it is kept by more
# than habit.
#
# Link: the engine, with only what it links (the vocabulary), must make a shared object without
# undefined symbols; a call into the mapping core, the editions or the bindings fails this link.
file(WRITE ${CMAKE_BINARY_DIR}/layer_check.cpp "// Empty: the check links the engine's archive whole.\n")
add_library(ovrix_engine_link_check SHARED ${CMAKE_BINARY_DIR}/layer_check.cpp)
target_link_libraries(ovrix_engine_link_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,ovrix_engine>")
target_link_options(ovrix_engine_link_check PRIVATE -Wl,--no-undefined)

# Includes: checked whenever a source changes, by cmake/check_includes.cmake (its rules are there).
file(GLOB_RECURSE OVRIX_CHECKED_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/engine/*.h ${CMAKE_SOURCE_DIR}/engine/*.cpp
  ${CMAKE_SOURCE_DIR}/mapping/*.h ${CMAKE_SOURCE_DIR}/mapping/*.cpp
  ${CMAKE_SOURCE_DIR}/program/*.h ${CMAKE_SOURCE_DIR}/program/*.cpp
  ${CMAKE_SOURCE_DIR}/backends/*.h ${CMAKE_SOURCE_DIR}/backends/*.cpp
  ${CMAKE_SOURCE_DIR}/python/*.h ${CMAKE_SOURCE_DIR}/python/*.cpp)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/includes_checked.stamp
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -P ${CMAKE_SOURCE_DIR}/cmake/check_includes.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/includes_checked.stamp
  DEPENDS ${OVRIX_CHECKED_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/check_includes.cmake
  COMMENT "Checking the include direction between layers")
add_custom_target(ovrix_include_check ALL DEPENDS ${CMAKE_BINARY_DIR}/includes_checked.stamp)
add_dependencies(ovrix_engine ovrix_include_check)
