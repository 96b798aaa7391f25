# Refuses an include that points the wrong way between the layers (run by the build, see
# cmake/layer_checks.cmake):
# - engine/ includes, of mapping/, only the vocabulary headers below, of program/ only the generated
#   schema headers, and nothing of backends/ or python/;
# - mapping/ and program/ include nothing of backends/ or python/: editions are reached through the
#   edition registry, whose generated list is the one place that names them;
# - an edition (backends/<e>/) includes no other edition, only backends/common/;
# - backends/common/ includes no edition; nothing outside python/ includes python/.
set(vocabulary
  mapping/clock_mode.h mapping/host_hooks.h mapping/hw_types.h mapping/hw_version.h mapping/map_constraints.h
  mapping/mapping_status.h mapping/mesh_info_registers.h mapping/power_meter.h)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/engine/*.h ${SOURCE_DIR}/engine/*.cpp
  ${SOURCE_DIR}/mapping/*.h ${SOURCE_DIR}/mapping/*.cpp
  ${SOURCE_DIR}/program/*.h ${SOURCE_DIR}/program/*.cpp
  ${SOURCE_DIR}/backends/*.h ${SOURCE_DIR}/backends/*.cpp
  ${SOURCE_DIR}/python/*.h ${SOURCE_DIR}/python/*.cpp)

set(faults "")
foreach(file ${files})
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  string(REGEX MATCH "^[^/]+" layer ${file})
  set(edition "")
  if(layer STREQUAL "backends")
    string(REGEX REPLACE "^backends/([^/]+)/.*" "\\1" edition ${file})
  endif()
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
    string(REGEX MATCH "^[^/]+" target ${header})
    set(wrong FALSE)
    if(target STREQUAL "python" AND NOT layer STREQUAL "python")
      set(wrong TRUE)
    elseif(layer STREQUAL "engine")
      if(target STREQUAL "backends")
        set(wrong TRUE)
      elseif(target STREQUAL "mapping" AND NOT header IN_LIST vocabulary)
        set(wrong TRUE)
      elseif(target STREQUAL "program" AND NOT header MATCHES "_generated\\.h$")
        set(wrong TRUE)
      endif()
    elseif(layer STREQUAL "mapping" OR layer STREQUAL "program")
      if(target STREQUAL "backends")
        set(wrong TRUE)
      endif()
    elseif(layer STREQUAL "backends" AND target STREQUAL "backends")
      string(REGEX REPLACE "^backends/([^/]+)/.*" "\\1" included ${header})
      if(NOT included STREQUAL edition AND NOT included STREQUAL "common")
        set(wrong TRUE)
      endif()
    endif()
    if(wrong)
      string(APPEND faults "\n  ${file}: #include \"${header}\"")
    endif()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Includes against the direction of the layers:${faults}")
endif()
