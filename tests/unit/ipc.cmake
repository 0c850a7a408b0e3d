# Local IPC service: offset image rules, the request walker, the request
# log's entries, and the walker's data path without allocations (a program of
# its own, since it counts every allocation through operator new).
kv_unit_test(offset_image_test offset_image_test.cpp LIBS kv_ipc)
kv_unit_test(request_walker_test request_walker_test.cpp LIBS kv_ipc)
kv_unit_test(request_log_test request_log_test.cpp LIBS kv_ipc)
kv_unit_test(request_walker_alloc_test request_walker_alloc_test.cpp LIBS kv_ipc)
kv_unit_test(image_changes_test image_changes_test.cpp LIBS kv_ipc)
