# Resource modules and embedded resources.
#
# A resource source (format: platform/module/kvrc.py) is compiled at build
# time into a C++ source that defines the module's exported resource table
# kv_resource_table; the module functions (platform/module/resource.h) read it.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(KV_RESOURCE_COMPILER ${PROJECT_SOURCE_DIR}/platform/module/kvrc.py)

# kv_compile_resources(<out-var> <source>): the generated C++ source for a
# resource source (relative paths are taken from the calling folder).
function(kv_compile_resources out source)
  get_filename_component(src ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(base ${src} NAME)
  string(MAKE_C_IDENTIFIER "${base}" ident)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/kvrc_${ident}.cpp)
  add_custom_command(
    OUTPUT ${gen}
    COMMAND ${Python3_EXECUTABLE} ${KV_RESOURCE_COMPILER} ${src} ${gen} --depfile ${gen}.d
    DEPENDS ${src} ${KV_RESOURCE_COMPILER}
    DEPFILE ${gen}.d
    COMMENT "Compiling resources ${base}"
    VERBATIM)
  set(${out} ${gen} PARENT_SCOPE)
endfunction()

# kv_resource_module(NAME <target> FILE <file name> SOURCE <resource source>
#                    [SOURCES <extra C++ sources>...] [LIBS <libs>...])
# A module in the program folder under the given file name (PRODUCT.RSL,
# BASE.RSL, kvm_log_en.so) that holds the resources of SOURCE and, for a module
# with entry points, the extra sources.
function(kv_resource_module)
  cmake_parse_arguments(R "" "NAME;FILE;SOURCE" "SOURCES;LIBS" ${ARGN})
  if(NOT R_NAME OR NOT R_FILE OR NOT R_SOURCE)
    message(FATAL_ERROR "kv_resource_module needs NAME, FILE and SOURCE")
  endif()
  kv_compile_resources(gen ${R_SOURCE})
  add_library(${R_NAME} MODULE ${gen} ${R_SOURCES})
  target_include_directories(${R_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  if(R_LIBS)
    target_link_libraries(${R_NAME} PRIVATE ${R_LIBS})
  endif()
  set_target_properties(${R_NAME} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${R_FILE}
                        LIBRARY_OUTPUT_DIRECTORY ${KV_BIN_DIR})
endfunction()

# kv_embed_resources(<target> <resource source>): adds the resources to a
# program or shared library. A program is linked with its symbols exported so
# that the table can be found in it. For a static library the table object
# must end up in the final shared object: add it there instead.
function(kv_embed_resources target source)
  kv_compile_resources(gen ${source})
  target_sources(${target} PRIVATE ${gen})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  endif()
endfunction()
