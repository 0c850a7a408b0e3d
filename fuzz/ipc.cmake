# The request walker over arbitrary request areas.
kv_fuzzer(request_walker_fuzz request_walker_fuzz.cpp LIBS kv_ipc kv_base)
