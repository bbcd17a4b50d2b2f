# Project build helpers.
#
# Source conventions inside a folder:
#   *.cpp            sources of the folder's library
#   *_test.cpp       one GoogleTest executable each (run by CTest)
#   *_testutil.cpp   helpers linked into every test executable of the folder
#   *_fuzz.cpp       one libFuzzer target each (built only with KV_FUZZ)
#   *_bench.cpp      one Google Benchmark executable each (bench/ only)

# kv_sources(<out-var> <dir>...): the library sources of the given folders.
function(kv_sources out)
  set(all)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND all ${found})
  endforeach()
  list(FILTER all EXCLUDE REGEX "_(test|testutil|fuzz|bench)\\.cpp$")
  set(${out} ${all} PARENT_SCOPE)
endfunction()

# kv_tests(DIRS <dir>... LIBS <lib>... [ENV <k=v>...]): one test executable per
# *_test.cpp found in DIRS, named <folder path with _>_<file name>, linked with LIBS, GoogleTest and the folder's
# *_testutil.cpp files (and kvtestsupport, the shared test helpers, once it
# is declared). Tests run with KV_PROGRAM_DIR set to the program folder
# and KV_SOURCE_DIR to the source tree.
function(kv_tests)
  cmake_parse_arguments(T "" "" "DIRS;LIBS;ENV" ${ARGN})
  foreach(dir ${T_DIRS})
    file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
    file(GLOB utils CONFIGURE_DEPENDS ${dir}/*_testutil.cpp)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${dir})
    string(REPLACE "/" "_" tag "${rel}")
    # The folder's test helpers compile once and go into each of its tests.
    set(util_objects)
    if(utils AND tests)
      add_library(${tag}_testutil OBJECT ${utils})
      target_link_libraries(${tag}_testutil PRIVATE ${T_LIBS} GTest::gmock GTest::gtest Threads::Threads)
      if(TARGET kvtestsupport)
        target_link_libraries(${tag}_testutil PRIVATE kvtestsupport)
      endif()
      set(util_objects $<TARGET_OBJECTS:${tag}_testutil>)
    endif()
    foreach(src ${tests})
      get_filename_component(base ${src} NAME_WE)
      set(name ${tag}_${base})
      # A test left out by KV_TEST_ONLY is declared but neither built by
      # default nor run.
      set(left_out OFF)
      if(KV_TEST_ONLY AND NOT name MATCHES "${KV_TEST_ONLY}")
        set(left_out ON)
        add_executable(${name} EXCLUDE_FROM_ALL ${src} ${util_objects})
      else()
        add_executable(${name} ${src} ${util_objects})
      endif()
      target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
      if(TARGET kvtestsupport)
        target_link_libraries(${name} PRIVATE kvtestsupport)
      endif()
      set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KV_TEST_DIR})
      # The environment travels as a launcher so that test discovery and the
      # tests themselves see the same variables.
      set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
        "env;KV_PROGRAM_DIR=${KV_BIN_DIR};KV_SOURCE_DIR=${PROJECT_SOURCE_DIR};KV_TEST_DIR=${KV_TEST_DIR};${T_ENV}")
      if(left_out)
        continue()
      endif()
      gtest_discover_tests(${name}
        WORKING_DIRECTORY ${KV_TEST_DIR}
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300)
    endforeach()
  endforeach()
endfunction()

# kv_fuzzers(DIRS <dir>... LIBS <lib>...): one libFuzzer target per *_fuzz.cpp.
function(kv_fuzzers)
  if(NOT KV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "DIRS;LIBS" ${ARGN})
  foreach(dir ${F_DIRS})
    file(GLOB fuzzers CONFIGURE_DEPENDS ${dir}/*_fuzz.cpp)
    foreach(src ${fuzzers})
      get_filename_component(name ${src} NAME_WE)
      add_executable(${name} ${src})
      target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
      target_link_options(${name} PRIVATE -fsanitize=fuzzer)
      target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
      set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    endforeach()
  endforeach()
endfunction()

# kv_folder_library(NAME <target> TYPE SHARED|STATIC|OBJECT [OUTPUT_NAME <n>]
#                   LIBS <public libs>... [TEST_LIBS ...])
# The library of the calling folder, its tests and its fuzzers.
function(kv_folder_library)
  cmake_parse_arguments(L "" "NAME;TYPE;OUTPUT_NAME" "LIBS;TEST_LIBS" ${ARGN})
  kv_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  add_library(${L_NAME} ${L_TYPE} ${srcs})
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${L_NAME} PUBLIC ${L_LIBS} Threads::Threads)
  if(L_OUTPUT_NAME)
    set_target_properties(${L_NAME} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})
  endif()
  kv_tests(DIRS ${CMAKE_CURRENT_SOURCE_DIR} LIBS ${L_NAME} ${L_TEST_LIBS})
  kv_fuzzers(DIRS ${CMAKE_CURRENT_SOURCE_DIR} LIBS ${L_NAME} ${L_TEST_LIBS})
endfunction()

# kv_module(NAME <target> FILE <file name without .so> SOURCES ... LIBS ...):
# a stand-in for an outside module, loaded at run time from the program folder
# under its own name (WSOCK32 -> build/bin/WSOCK32.so).
function(kv_module)
  cmake_parse_arguments(M "" "NAME;FILE" "SOURCES;LIBS" ${ARGN})
  add_library(${M_NAME} MODULE ${M_SOURCES})
  target_include_directories(${M_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${M_NAME} PRIVATE ${M_LIBS})
  set_target_properties(${M_NAME} PROPERTIES PREFIX "" SUFFIX ".so" OUTPUT_NAME ${M_FILE})
endfunction()
