# The CUDA runtime that a CUDA build of libtorch needs its users to compile against.
#
# libtorch's CMake package insists on a full CUDA toolkit (nvcc, FindCUDA, a test program) even for
# a project like ours that compiles no CUDA code and only calls libtorch: without one, configuring
# stops with "Your installed Caffe2 version uses CUDA but I cannot find the CUDA libraries".
# Compositing workstations and farm nodes usually have a GPU driver and no toolkit. What our code
# needs - the CUDA runtime headers that c10/ATen's CUDA headers include, and libcudart - ships with
# PyTorch's Python packages (nvidia/*/include and nvidia/*/lib beside torch/), in the very version
# libtorch was built with. The package looks for a toolkit only while its target torch::cudart
# does not exist, so defining that target first makes the build independent of a toolkit.
#
# magnifex_use_cuda_runtime_beside_torch(<torch prefix>)
#   For a CUDA libtorch (<prefix>/lib holds libc10_cuda) whose nvidia packages are found beside
#   it, defines torch::cudart from them. Otherwise (a CPU libtorch, one without those packages,
#   or MAGNIFEX_CUDA_FROM_TOOLKIT on) does nothing, and libtorch's package looks for a toolkit.

# What libtorch's CUDA headers include: the runtime API, the host compiler settings it pulls in
# (package nvidia-cuda-crt) and the target macros of the half-precision types (nvidia-cuda-cccl).
set(MAGNIFEX_CUDA_HEADERS cuda_runtime_api.h crt/host_config.h nv/target)

# The include folders of the nvidia packages in <packages dir> and the libcudart among them, in
# <out_includes> and <out_cudart>, or the first of MAGNIFEX_CUDA_HEADERS that they lack in
# <out_missing> (then the others are empty). The CUDA 13 packages share one folder, nvidia/cu13/;
# the CUDA 12 ones have a folder per package.
function(magnifex_find_cuda_runtime_in packages_dir out_includes out_cudart out_missing)
  file(GLOB includes LIST_DIRECTORIES true "${packages_dir}/*/include")
  file(GLOB cudart "${packages_dir}/*/lib/libcudart.so*")
  set(missing "")
  foreach(header IN LISTS MAGNIFEX_CUDA_HEADERS)
    unset(found)
    find_file(found "${header}" PATHS ${includes} NO_DEFAULT_PATH NO_CACHE)
    if(NOT found)
      set(missing "${header}")
      break()
    endif()
  endforeach()
  if(NOT missing AND NOT cudart)
    set(missing "libcudart")
  endif()
  if(missing)
    set(includes "")
    set(cudart "")
  else()
    list(SORT cudart)
    list(GET cudart 0 cudart)
  endif()
  set(${out_includes} "${includes}" PARENT_SCOPE)
  set(${out_cudart} "${cudart}" PARENT_SCOPE)
  set(${out_missing} "${missing}" PARENT_SCOPE)
endfunction()

function(magnifex_use_cuda_runtime_beside_torch torch_prefix)
  file(GLOB c10_cuda "${torch_prefix}/lib/libc10_cuda.so*")
  if(NOT c10_cuda OR MAGNIFEX_CUDA_FROM_TOOLKIT OR TARGET torch::cudart)
    return()
  endif()
  get_filename_component(packages_dir "${torch_prefix}/../nvidia" ABSOLUTE)
  magnifex_find_cuda_runtime_in("${packages_dir}" includes cudart missing)
  if(missing)
    message(STATUS "CUDA runtime: no ${missing} in ${packages_dir}, so libtorch looks for a CUDA toolkit")
    return()
  endif()
  add_library(torch::cudart INTERFACE IMPORTED)
  set_target_properties(torch::cudart PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${includes}"
    INTERFACE_LINK_LIBRARIES "${cudart}")
  message(STATUS "CUDA runtime: ${packages_dir} (PyTorch's nvidia packages; no CUDA toolkit needed)")
endfunction()
