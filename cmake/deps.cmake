# Third-party dependencies. All but the onnxruntime runtime come from the
# system; scripts/setup.sh installs them.
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(hwy REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LE_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
find_path(LE_STB_INCLUDE_DIR stb/stb_image.h REQUIRED)

# onnxruntime: LE_ORT_ROOT, else a packaged one, else .deps/onnxruntime.
set(_le_ort_hints "")
if(LE_ORT_ROOT)
  list(APPEND _le_ort_hints "${LE_ORT_ROOT}")
endif()
find_path(LE_ORT_INCLUDE_DIR onnxruntime_cxx_api.h
  HINTS ${_le_ort_hints} PATH_SUFFIXES include include/onnxruntime
  PATHS /usr/include/onnxruntime /usr/local/include/onnxruntime
        ${CMAKE_CURRENT_SOURCE_DIR}/.deps/onnxruntime/include
  NO_CMAKE_FIND_ROOT_PATH)
find_library(LE_ORT_LIBRARY NAMES onnxruntime libonnxruntime.so.1
  HINTS ${_le_ort_hints} PATH_SUFFIXES lib lib64
  PATHS ${CMAKE_CURRENT_SOURCE_DIR}/.deps/onnxruntime/lib)
if(NOT LE_ORT_INCLUDE_DIR OR NOT LE_ORT_LIBRARY)
  message(FATAL_ERROR "onnxruntime not found: run scripts/setup.sh or pass -DLE_ORT_ROOT=DIR")
endif()
add_library(le_onnxruntime INTERFACE)
target_include_directories(le_onnxruntime SYSTEM INTERFACE ${LE_ORT_INCLUDE_DIR})
target_link_libraries(le_onnxruntime INTERFACE ${LE_ORT_LIBRARY})
get_filename_component(LE_ORT_LIBDIR "${LE_ORT_LIBRARY}" DIRECTORY)
# A runtime outside the system's library directories is installed beside the
# library, which then finds it through an $ORIGIN-relative RUNPATH.
if(LE_ORT_LIBDIR MATCHES "^/(usr/)?lib")
  set(LE_ORT_BUNDLED OFF)
else()
  set(LE_ORT_BUNDLED ON)
endif()
message(STATUS "le_core: onnxruntime headers ${LE_ORT_INCLUDE_DIR}, runtime ${LE_ORT_LIBRARY}")

# Interpreter for fixtures: the one that imports onnx and numpy (Debian's).
find_program(LE_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT LE_PYTHON)
  find_program(LE_PYTHON NAMES python3)
endif()
