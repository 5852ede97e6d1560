# The shared frame, compiled into every extension module as a static library.
set(KORVAN_FRAME_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/frame)
set(KORVAN_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

if(NOT TARGET korvan_frame)
  add_library(korvan_frame STATIC
    ${KORVAN_FRAME_DIR}/object.cpp
    ${KORVAN_FRAME_DIR}/module.cpp
    ${KORVAN_FRAME_DIR}/function.cpp
    ${KORVAN_FRAME_DIR}/generator.cpp
    ${KORVAN_FRAME_DIR}/classes.cpp)
  target_include_directories(korvan_frame PUBLIC ${KORVAN_FRAME_DIR})
  target_link_libraries(korvan_frame PUBLIC Python::Module)
  target_compile_options(korvan_frame PRIVATE ${KORVAN_WARNINGS})
  set_target_properties(korvan_frame PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endif()

# korvan_module(<dotted name> [SOURCE file] [DESTINATION dir] [NO_INSTALL])
# Builds one extension module whose only exported symbol is PyInit_<last component>.
function(korvan_module dotted)
  cmake_parse_arguments(ARG "NO_INSTALL" "SOURCE;DESTINATION" "" ${ARGN})
  string(REPLACE "." "/" rel ${dotted})
  get_filename_component(short ${rel} NAME)
  get_filename_component(dir ${rel} DIRECTORY)
  if(NOT ARG_SOURCE)
    set(ARG_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/src/${rel}.cpp)
  endif()
  if(NOT EXISTS ${ARG_SOURCE})
    return()
  endif()
  if(KORVAN_ONLY AND NOT short IN_LIST KORVAN_ONLY)
    return()
  endif()
  python_add_library(${short} MODULE WITH_SOABI ${ARG_SOURCE})
  target_link_libraries(${short} PRIVATE korvan_frame)
  target_compile_options(${short} PRIVATE ${KORVAN_WARNINGS})
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${short}.map)
  file(WRITE ${map} "{ global: PyInit_${short}; local: *; };\n")
  target_link_options(${short} PRIVATE -Wl,--version-script=${map} -Wl,--exclude-libs,ALL)
  set_target_properties(${short} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${map})
  if(NOT ARG_NO_INSTALL)
    if(NOT ARG_DESTINATION)
      set(ARG_DESTINATION ${dir})
    endif()
    install(TARGETS ${short} LIBRARY DESTINATION ${ARG_DESTINATION})
  endif()
endfunction()
