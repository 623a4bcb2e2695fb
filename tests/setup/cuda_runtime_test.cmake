# magnifex_find_cuda_runtime_in (cmake/TorchCudaRuntime.cmake) on nvidia package folders laid out
# as the CUDA 13 and CUDA 12 wheels lay them out, complete and with a piece missing.
#   cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<scratch folder> -P cuda_runtime_test.cmake
cmake_minimum_required(VERSION 3.22)
include(${SOURCE_DIR}/cmake/TorchCudaRuntime.cmake)

set(cu13 "cu13/include/cuda_runtime_api.h,cu13/include/crt/host_config.h,cu13/include/nv/target")
set(cu12 "cuda_runtime/include/cuda_runtime_api.h,cuda_runtime/include/crt/host_config.h,cuda_cccl/include/nv/target")
# name | files under nvidia/ | expected include folders | expected libcudart | expected missing piece
set(cases
  "cuda13|${cu13},cu13/lib/libcudart.so.13,cu13/lib/libcudart_static.a,cudnn/include/cudnn.h|cu13/include,cudnn/include|cu13/lib/libcudart.so.13|"
  "cuda12|${cu12},cuda_runtime/lib/libcudart.so.12,cublas/include/cublas_v2.h|cublas/include,cuda_cccl/include,cuda_runtime/include|cuda_runtime/lib/libcudart.so.12|"
  "no-crt|cu13/include/cuda_runtime_api.h,cu13/include/nv/target,cu13/lib/libcudart.so.13|||crt/host_config.h"
  "no-cccl|cu13/include/cuda_runtime_api.h,cu13/include/crt/host_config.h,cu13/lib/libcudart.so.13|||nv/target"
  "no-runtime-library|${cu13},cu13/lib/libcublas.so.13|||libcudart"
  "no-packages||||cuda_runtime_api.h")

set(failures 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 files)
  list(GET fields 2 want_includes)
  list(GET fields 3 want_cudart)
  list(GET fields 4 want_missing)

  set(packages "${WORK_DIR}/${name}/nvidia")
  file(REMOVE_RECURSE "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${packages}")
  string(REPLACE "," ";" files "${files}")
  foreach(file IN LISTS files)
    file(WRITE "${packages}/${file}" "")
  endforeach()

  magnifex_find_cuda_runtime_in("${packages}" includes cudart missing)
  list(TRANSFORM includes REPLACE "^${packages}/" "")
  list(SORT includes)
  list(JOIN includes "," includes)
  string(REPLACE "${packages}/" "" cudart "${cudart}")
  if(NOT includes STREQUAL want_includes OR NOT cudart STREQUAL want_cudart OR NOT missing STREQUAL want_missing)
    message(SEND_ERROR "${name}: got include folders '${includes}', libcudart '${cudart}', missing "
                       "'${missing}'; expected '${want_includes}', '${want_cudart}', '${want_missing}'")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures} case(s) failed")
endif()
