# qb_add_plugin_module(TARGET
#   SOURCES ... LIBS ...
#   EXPORTS sym1 sym2 ...        # the only dynamic symbols the module keeps
#   OUTPUT_DIR dir OUTPUT_NAME name SUFFIX .so|.clap)
# Builds a loadable plug-in module that exports only its entry points; every
# other symbol, including those of the static libraries linked in, is local
# to the module, so two modules in one process keep separate statics.
function(qb_add_plugin_module target)
  cmake_parse_arguments(M "" "OUTPUT_DIR;OUTPUT_NAME;SUFFIX" "SOURCES;LIBS;EXPORTS" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES})
  target_link_libraries(${target} PRIVATE ${M_LIBS})

  set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map")
  set(globals "")
  foreach(sym IN LISTS M_EXPORTS)
    string(APPEND globals "    ${sym};\n")
  endforeach()
  file(WRITE "${map}" "{\n  global:\n${globals}  local:\n    *;\n};\n")

  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${map}"
    "LINKER:--exclude-libs,ALL"
    "LINKER:-Bsymbolic")
  if(NOT QB_SANITIZER_FLAGS)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${M_OUTPUT_NAME}"
    SUFFIX "${M_SUFFIX}"
    LIBRARY_OUTPUT_DIRECTORY "${M_OUTPUT_DIR}"
    LINK_DEPENDS "${map}")
endfunction()
