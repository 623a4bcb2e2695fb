# Installs the tiny pack's plug-in directory, moves it, and checks that it still works on its own:
# no installed file's run path names the build tree, the source tree or the folder it was installed
# to; every library the plug-in needs resolves from the moved folder (all but the host's libDDImage,
# which the host brings); and a still render through it gives the same image as the build's own
# tiny plug-in directory (so it holds the tiny pack's library), at twice the size of the input.
#
# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DRENDER= -DBUILD_PLUGIN_DIR= -DOIIOTOOL= -DREADELF=
#       -P relocated_plugin_dir.cmake

function(fail text)
  message(FATAL_ERROR "${text}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " command ${ARGN})
    fail("${command}\nexited with ${rc}:\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The RUNPATH and RPATH entries of an ELF file, as one list.
function(elf_run_path file out)
  run(${READELF} -d "${file}")
  string(REGEX MATCHALL "\\((RUNPATH|RPATH)\\)[^[]*\\[[^]]*\\]" tags "${run_output}")
  set(entries "")
  foreach(tag IN LISTS tags)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" value "${tag}")
    string(REPLACE ":" ";" value "${value}")
    list(APPEND entries ${value})
  endforeach()
  set(${out} "${entries}" PARENT_SCOPE)
endfunction()

set(staged "${WORK_DIR}/staged")
set(moved "${WORK_DIR}/elsewhere/plugins")
file(REMOVE_RECURSE "${WORK_DIR}")

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --component MagnifexPlugin-tiny --prefix "${staged}")
file(GLOB installed RELATIVE "${staged}" "${staged}/*" "${staged}/*/*")
list(SORT installed)
if(NOT installed STREQUAL "Magnifex;Magnifex/Magnifex.so;Magnifex/MagnifexModels.so")
  fail("installed files: '${installed}', expected Magnifex/Magnifex.so and Magnifex/MagnifexModels.so")
endif()
file(MAKE_DIRECTORY "${WORK_DIR}/elsewhere")
file(RENAME "${staged}" "${moved}")
set(plugin_dir "${moved}/Magnifex")

foreach(name Magnifex.so MagnifexModels.so)
  elf_run_path("${plugin_dir}/${name}" entries)
  list(GET entries 0 first)
  if(NOT first STREQUAL "$ORIGIN")
    fail("${name}: run path '${entries}' does not start with $ORIGIN")
  endif()
  foreach(entry IN LISTS entries)
    foreach(tree "${BUILD_DIR}" "${SOURCE_DIR}" "${staged}")
      string(FIND "${entry}/" "${tree}/" at)
      if(at EQUAL 0)
        fail("${name}: run path entry '${entry}' lies in ${tree}")
      endif()
    endforeach()
  endforeach()
endforeach()

# ldd follows the run paths as the loader does; only the host's own library may be missing.
run(ldd "${plugin_dir}/Magnifex.so")
string(REGEX MATCHALL "[^\n\t ]+ => not found" missing "${run_output}")
if(NOT missing STREQUAL "libDDImage.so => not found")
  list(JOIN missing ", " missing)
  fail("libraries of the moved plug-in that do not resolve: ${missing}\n${run_output}")
endif()

set(input "${WORK_DIR}/gradient.exr")
run(${OIIOTOOL} --pattern "fill:topleft=0.1,0.2,0.3:topright=0.9,0.5,0.1:bottomleft=0.0,0.7,0.6:bottomright=1.0,1.0,0.2"
    24x16 3 -d half -o "${input}")
foreach(kind moved built)
  if(kind STREQUAL "moved")
    set(dir "${plugin_dir}")
  else()
    set(dir "${BUILD_PLUGIN_DIR}")
  endif()
  run(${RENDER} --plugin-dir "${dir}" --input "${input}" --set mode=still --set scale=2x
      --output "${WORK_DIR}/${kind}.exr")
endforeach()

run(${OIIOTOOL} --info "${WORK_DIR}/moved.exr")
if(NOT run_output MATCHES ": +48 x +32, ")
  fail("the render through the moved plug-in is not 48 x 32: ${run_output}")
endif()
run(${OIIOTOOL} "${WORK_DIR}/moved.exr" "${WORK_DIR}/built.exr" --fail 0 --diff)
