# magnifex_add_companion(NAME <name> PACK_DIR <dir>
#                        [DEPENDS <targets or files>...] [OUTPUT_DIR <dir>] [EXCLUDE_FROM_ALL])
#
# Builds MagnifexModels.so from the model pack in PACK_DIR: every <code>.pt there is embedded (each
# distinct content once) and handed out by the exported getter bw_get_model_<code>. Nothing else is
# exported. DEPENDS names what produces the pack (a target, a stamp file) so it is built first;
# changes to the pack's files are picked up by the next build whatever produced them.
#
# Output: <OUTPUT_DIR>/MagnifexModels.so, OUTPUT_DIR defaulting to ${CMAKE_BINARY_DIR}/plugins/<name>.
# When the plug-in target Magnifex exists, a copy of it is kept beside the library as Magnifex.so,
# so the directory is a complete plug-in directory.
#
# Targets (dashes of <name> become underscores):
#   magnifex_models_<name>  the library
#   magnifex_plugin_<name>  the library plus the plug-in copy
#
# Linux/ELF only: the embedding uses GNU assembler .incbin.

set(_magnifex_companion_dir "${CMAKE_CURRENT_LIST_DIR}")

function(magnifex_add_companion)
  cmake_parse_arguments(PARSE_ARGV 0 arg "EXCLUDE_FROM_ALL" "NAME;PACK_DIR;OUTPUT_DIR" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "magnifex_add_companion: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_NAME OR NOT arg_PACK_DIR)
    message(FATAL_ERROR "magnifex_add_companion: NAME and PACK_DIR are required")
  endif()
  if(NOT arg_OUTPUT_DIR)
    set(arg_OUTPUT_DIR "${CMAKE_BINARY_DIR}/plugins/${arg_NAME}")
  endif()
  get_filename_component(pack_dir "${arg_PACK_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  string(REPLACE "-" "_" id "${arg_NAME}")
  set(lib magnifex_models_${id})
  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${lib}")

  add_custom_command(
    OUTPUT "${gen}/archives.S" "${gen}/getters.c"
    COMMAND "${CMAKE_COMMAND}" "-DPACK_DIR=${pack_dir}" "-DOUT_ASM=${gen}/archives.S"
            "-DOUT_C=${gen}/getters.c" "-DOUT_DEPFILE=${gen}/archives.d"
            -P "${_magnifex_companion_dir}/embed_pack.cmake"
    DEPENDS "${_magnifex_companion_dir}/embed_pack.cmake" ${arg_DEPENDS}
    DEPFILE "${gen}/archives.d"
    COMMENT "Embedding model pack ${pack_dir} (${arg_NAME})"
    VERBATIM)

  set(exclude "")
  if(arg_EXCLUDE_FROM_ALL)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_library(${lib} MODULE ${exclude} "${gen}/archives.S" "${gen}/getters.c")
  set_target_properties(${lib} PROPERTIES
    PREFIX ""
    OUTPUT_NAME MagnifexModels
    LIBRARY_OUTPUT_DIRECTORY "${arg_OUTPUT_DIR}"
    C_VISIBILITY_PRESET hidden
    LINKER_LANGUAGE C
    # Its own dependencies are looked for beside it first (the loader opens it by absolute path).
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  # The getters are the whole interface: no C++ runtime, no undefined symbols, RUNPATH rather than RPATH.
  target_link_options(${lib} PRIVATE
    "LINKER:--no-undefined" "LINKER:--enable-new-dtags" "LINKER:-z,noexecstack")

  set(plugin_deps ${lib})
  if(TARGET Magnifex)
    set(plugin_copy "${arg_OUTPUT_DIR}/Magnifex${CMAKE_SHARED_MODULE_SUFFIX}")
    add_custom_command(
      OUTPUT "${plugin_copy}"
      COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:Magnifex>" "${plugin_copy}"
      DEPENDS Magnifex
      COMMENT "Copying the plug-in into ${arg_OUTPUT_DIR}"
      VERBATIM)
    list(APPEND plugin_deps "${plugin_copy}")
  endif()
  set(all ALL)
  if(arg_EXCLUDE_FROM_ALL)
    set(all "")
  endif()
  add_custom_target(magnifex_plugin_${id} ${all} DEPENDS ${plugin_deps})
endfunction()
