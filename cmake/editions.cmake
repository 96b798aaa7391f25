# One static library per edition, and the generated object that registers them.
#
# The registration calls are generated from the list rather than left to static initialisers in the
# editions' own files, which a static-library link drops when nothing else refers to them. The one
# object of ovrix_editions is linked into every program (an object library is never dropped) and
# fills the edition registry before main runs.
function(ovrix_add_editions editions)
  set(includes "")
  set(calls "")
  set(libraries "")
  foreach(edition ${editions})
    set(dir ${CMAKE_SOURCE_DIR}/backends/${edition})
    if(NOT EXISTS ${dir}/edition.cpp OR NOT EXISTS ${dir}/edition.h)
      message(FATAL_ERROR "Edition '${edition}' is listed in OVRIX_EDITIONS but backends/${edition}/ has no "
                          "edition.h and edition.cpp declaring and defining "
                          "ovrix::${edition}::register_edition(EditionRegistry&).")
    endif()
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    add_library(ovrix_edition_${edition} STATIC ${sources})
    target_link_libraries(ovrix_edition_${edition} PUBLIC ovrix_backend_common)
    list(APPEND libraries ovrix_edition_${edition})
    string(APPEND includes "#include \"backends/${edition}/edition.h\"\n")
    string(APPEND calls "  ${edition}::register_edition(registry);\n")
  endforeach()

  set(OVRIX_EDITION_INCLUDES "${includes}")
  set(OVRIX_EDITION_CALLS "${calls}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/built_editions.cpp.in ${OVRIX_GEN_DIR}/built_editions.cpp @ONLY)
  add_library(ovrix_editions OBJECT ${OVRIX_GEN_DIR}/built_editions.cpp)
  target_link_libraries(ovrix_editions PUBLIC ovrix_mapping ${libraries})
  set(OVRIX_EDITION_LIBRARIES ${libraries} PARENT_SCOPE)
endfunction()
