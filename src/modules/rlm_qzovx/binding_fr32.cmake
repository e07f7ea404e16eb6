# rlm_qzovx for FreeRADIUS 3.2: the binding file plus the shared module code,
# built as the loadable rlm_qzovx.so next to libqzovx.so.0.

if(QZOVX_M32)
  message(STATUS "rlm_qzovx: not built in 32-bit builds (the installed FreeRADIUS 3.2 is 64-bit)")
  return()
endif()

# scripts/setup prepares the headers in <build root>/freeradius-3.2. Unless
# QZOVX_FREERADIUS_INCLUDE names a folder, the one beside this build folder
# (build/plain -> build/freeradius-3.2) is used, else the one under build/.
set(QZOVX_FREERADIUS_INCLUDE "" CACHE PATH
    "Folder holding freeradius-devel/ (empty: found next to the build folder)")
if(QZOVX_FREERADIUS_INCLUDE)
  set(qz_fr32_include "${QZOVX_FREERADIUS_INCLUDE}")
else()
  set(qz_fr32_include "${CMAKE_BINARY_DIR}/../freeradius-3.2/include")
  if(NOT EXISTS "${qz_fr32_include}/freeradius-devel/radiusd.h"
     AND EXISTS "${PROJECT_SOURCE_DIR}/build/freeradius-3.2/include/freeradius-devel/radiusd.h")
    set(qz_fr32_include "${PROJECT_SOURCE_DIR}/build/freeradius-3.2/include")
  endif()
endif()
get_filename_component(QZOVX_FREERADIUS_INCLUDE_DIR "${qz_fr32_include}" ABSOLUTE)
if(NOT EXISTS "${QZOVX_FREERADIUS_INCLUDE_DIR}/freeradius-devel/radiusd.h")
  message(FATAL_ERROR
    "FreeRADIUS 3.2 headers not found in ${QZOVX_FREERADIUS_INCLUDE_DIR}/freeradius-devel.\n"
    "Run scripts/setup (it prepares them in <build root>/freeradius-3.2), or point "
    "QZOVX_FREERADIUS_INCLUDE at a folder prepared with scripts/freeradius-headers.")
endif()

# The server finds the module through libdir and libqzovx next to it.
set(QZOVX_MODULES_DIR "${CMAKE_BINARY_DIR}/modules" CACHE INTERNAL "rlm_qzovx.so and libqzovx.so.0")
set_target_properties(qzovx PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${QZOVX_MODULES_DIR}")

add_library(rlm_qzovx MODULE
  ${CMAKE_CURRENT_SOURCE_DIR}/rlm_qzovx_fr32.c
  $<TARGET_OBJECTS:qzovx_module_core>)
target_include_directories(rlm_qzovx PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/libqzovx)
target_include_directories(rlm_qzovx SYSTEM PRIVATE "${QZOVX_FREERADIUS_INCLUDE_DIR}")
# The server's own build force-includes build.h (RCSID and friends).
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/rlm_qzovx_fr32.c PROPERTIES
  COMPILE_OPTIONS "-include;freeradius-devel/build.h")
target_link_libraries(rlm_qzovx PRIVATE qzovx)
set_target_properties(rlm_qzovx PROPERTIES
  PREFIX ""
  OUTPUT_NAME rlm_qzovx
  LIBRARY_OUTPUT_DIRECTORY "${QZOVX_MODULES_DIR}"
  C_EXTENSIONS ON
  BUILD_RPATH "\$ORIGIN"
  INSTALL_RPATH "\$ORIGIN")
