# Writes the sources of one MagnifexModels library from a model pack. Run at build time:
#   cmake -DPACK_DIR=<pack> -DOUT_ASM=<file.S> -DOUT_C=<file.c> -DOUT_DEPFILE=<file.d> -P embed_pack.cmake
#
# The pack is a directory with one <code>.pt archive per model code. A missing file leaves its getter
# out of the library (so resolution fails for it); a zero-byte file is embedded as it is. Archives
# with the same content are embedded once and shared by their getters.
#
# The set of files is only known once the pack has been built, which is why this runs at build time
# and reports what it read through a depfile (the pack directory itself is listed, so a file that
# appears or disappears triggers a new run). The assembler does not report .incbin inputs, so the
# generated assembly names each archive's SHA-256: new content changes the source, which makes the
# object rebuild.

cmake_minimum_required(VERSION 3.21)

foreach(var PACK_DIR OUT_ASM OUT_C OUT_DEPFILE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "embed_pack.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(PACK_DIR "${PACK_DIR}" ABSOLUTE)
if(NOT IS_DIRECTORY "${PACK_DIR}")
  message(FATAL_ERROR "Model pack directory not found: ${PACK_DIR}")
endif()

# The codes of the model catalogue, in the resolution order of the plug-in's getter table.
set(catalogue "${CMAKE_CURRENT_LIST_DIR}/../models/include/models/ModelCatalogue.def")
file(STRINGS "${catalogue}" rows REGEX "^MAGNIFEX_MODEL\\(")
set(codes "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^MAGNIFEX_MODEL\\(([0-9A-Za-z]+),.*" "\\1" code "${row}")
  list(APPEND codes ${code})
endforeach()
if(NOT codes)
  message(FATAL_ERROR "embed_pack.cmake: no MAGNIFEX_MODEL rows in ${catalogue}")
endif()

set(hashes "")      # one entry per distinct archive
set(blob_files "")  # the first file seen with that content
set(asm "/* Generated from ${PACK_DIR} by embed_pack.cmake. Do not edit. */\n")
string(APPEND asm "\t.section .rodata.magnifex_models,\"a\"\n")
set(c_decls "")
set(c_getters "")
set(deps "")
set(present "")

foreach(code IN LISTS codes)
  set(file "${PACK_DIR}/${code}.pt")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    continue()
  endif()
  list(APPEND present ${code})
  list(APPEND deps "${file}")
  file(SHA256 "${file}" hash)
  list(FIND hashes "${hash}" blob)
  if(blob EQUAL -1)
    list(LENGTH hashes blob)
    list(APPEND hashes "${hash}")
    list(APPEND blob_files "${file}")
    file(SIZE "${file}" bytes)
    # .incbin takes a C-style string: escape backslashes and quotes of studio paths.
    string(REPLACE "\\" "\\\\" incbin_path "${file}")
    string(REPLACE "\"" "\\\"" incbin_path "${incbin_path}")
    string(APPEND asm
      "\n/* ${code}.pt: ${bytes} bytes, sha256 ${hash} */\n"
      "\t.balign 64\n"
      "\t.globl magnifex_blob_${blob}\n\t.hidden magnifex_blob_${blob}\n"
      "magnifex_blob_${blob}:\n"
      "\t.incbin \"${incbin_path}\"\n"
      "\t.globl magnifex_blob_${blob}_end\n\t.hidden magnifex_blob_${blob}_end\n"
      "magnifex_blob_${blob}_end:\n")
    string(APPEND c_decls
      "extern const unsigned char magnifex_blob_${blob}[] HIDDEN;\n"
      "extern const unsigned char magnifex_blob_${blob}_end[] HIDDEN;\n")
  endif()
  string(APPEND c_getters
    "EXPORT const void* bw_get_model_${code}(size_t* size) {\n"
    "  if (size) *size = (size_t)(magnifex_blob_${blob}_end - magnifex_blob_${blob});\n"
    "  return magnifex_blob_${blob};\n"
    "}\n\n")
endforeach()

# Without this note the linker would mark the library as needing an executable stack.
string(APPEND asm "\n\t.section .note.GNU-stack,\"\",%progbits\n")

list(LENGTH present n_present)
list(LENGTH hashes n_blobs)
list(JOIN present " " present_text)
string(CONCAT c "/* Generated from ${PACK_DIR} by embed_pack.cmake. Do not edit.\n"
      "   Getters (${n_present}): ${present_text}. Distinct archives: ${n_blobs}. */\n"
      "#include <stddef.h>\n\n"
      "#define EXPORT __attribute__((visibility(\"default\")))\n"
      "#define HIDDEN __attribute__((visibility(\"hidden\")))\n\n"
      "${c_decls}\n"
      "${c_getters}"
      "/* Keeps the unit non-empty when the pack holds no archive. */\n"
      "HIDDEN const int magnifex_models_getter_count = ${n_present};\n")

# Rewrite only on change, so an unchanged pack does not relink the library.
function(write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

write_if_changed("${OUT_ASM}" "${asm}")
write_if_changed("${OUT_C}" "${c}")

# Make-style depfile; spaces in paths are escaped.
set(dep_text "")
foreach(dep IN ITEMS "${PACK_DIR}" "${catalogue}" ${deps})
  string(REPLACE " " "\\ " dep "${dep}")
  string(APPEND dep_text " \\\n  ${dep}")
endforeach()
string(REPLACE " " "\\ " target "${OUT_ASM}")
file(WRITE "${OUT_DEPFILE}" "${target}:${dep_text}\n")

if(n_present EQUAL 0)
  message(WARNING "Model pack ${PACK_DIR} holds no archive: the library exports no getter")
endif()
