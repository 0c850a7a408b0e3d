# Local IPC service: offset image rules and the request walker.
kv_unit_test(offset_image_test offset_image_test.cpp LIBS kv_ipc)
kv_unit_test(request_walker_test request_walker_test.cpp LIBS kv_ipc)
