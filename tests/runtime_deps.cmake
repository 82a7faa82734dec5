# The programs must run on the gateway with its C library and the named libraries only:
# no C++ runtime library, no exception or RTTI machinery (tests/runtime_deps.sh).
set(RUNTIME_DEPS ${CMAKE_CURRENT_LIST_DIR}/runtime_deps.sh)

add_test(NAME supervisor_needs_no_cxx_runtime
  COMMAND ${RUNTIME_DEPS} $<TARGET_FILE:supervisor> cjson)
if(BUILD_UNIFORM_SEND)
  add_test(NAME uniform_send_needs_no_cxx_runtime
    COMMAND ${RUNTIME_DEPS} $<TARGET_FILE:uniform-send> capi3 glib-2.0 gio-2.0 gobject-2.0)
  add_test(NAME capi3_needs_no_cxx_runtime
    COMMAND ${RUNTIME_DEPS} $<TARGET_FILE:capi3> glib-2.0 gio-2.0 gobject-2.0)
endif()
