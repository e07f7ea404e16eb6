# rlm_qzovx for a FreeRADIUS 1.0-series server: the binding file plus the
# shared module code, built as the loadable rlm_qzovx.so.
#
# The server's functions (log_debug, pairmake, ...) stay undefined here and
# are resolved against the server when it loads the module, so this target
# must not be linked with -Wl,--no-undefined.

add_library(rlm_qzovx MODULE
  ${CMAKE_CURRENT_SOURCE_DIR}/rlm_qzovx_fr10.cpp
  $<TARGET_OBJECTS:qzovx_module_core>)
target_include_directories(rlm_qzovx PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/libqzovx)
target_link_libraries(rlm_qzovx PRIVATE qzovx)
# libqzovx is found next to the module once installed ($ORIGIN), and in its
# build folder while the module is run from the build tree.
set_target_properties(rlm_qzovx PROPERTIES
  PREFIX ""
  OUTPUT_NAME rlm_qzovx
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
  BUILD_RPATH "\$ORIGIN;$<TARGET_FILE_DIR:qzovx>"
  INSTALL_RPATH "\$ORIGIN")
