# The gateway's sessions (client/web): the field types and their JSON forms
# on their own, and a session's every operation against the real image with
# a fake host at the link seam.
kv_unit_test(web_values_test ${CMAKE_CURRENT_SOURCE_DIR}/web_values_test.cpp LIBS kv_web)
kv_unit_test(gateway_session_test ${CMAKE_CURRENT_SOURCE_DIR}/gateway_session_test.cpp LIBS kv_web)
kv_unit_test(gateway_pushes_test ${CMAKE_CURRENT_SOURCE_DIR}/gateway_pushes_test.cpp LIBS kv_web)
# The serving side over loopback sockets, with Beast's own client.
kv_unit_test(gateway_server_test ${CMAKE_CURRENT_SOURCE_DIR}/gateway_server_test.cpp LIBS kv_web)
if(WIN32)
  # GCC 12 for i686 at -O3 follows Beast's close-frame reader (inlined into the
  # test's client) into sizes no call can have and calls them overflows.
  target_compile_options(gateway_server_test PRIVATE -Wno-stringop-overflow -Wno-restrict)
endif()
# The pages: the path rules on their own, and the pages folder before the
# built-in pages on real files.
kv_unit_test(page_path_test ${CMAKE_CURRENT_SOURCE_DIR}/page_path_test.cpp LIBS kv_web)
kv_unit_test(page_store_test ${CMAKE_CURRENT_SOURCE_DIR}/page_store_test.cpp LIBS kv_web)
# kestrovaline.js, the pages' module, under Node where it is installed: a fake
# WebSocket and a fake clock drive its replies, reconnections and pushes.
if(NOT WIN32)
  find_program(KV_NODE node)
  if(KV_NODE)
    add_test(NAME kestrovaline_js COMMAND ${KV_NODE} --test ${CMAKE_CURRENT_SOURCE_DIR}/kestrovaline_js_test.mjs)
  endif()
endif()
