# The request walker over arbitrary request areas.
kv_fuzzer(request_walker_fuzz request_walker_fuzz.cpp LIBS kv_ipc kv_base)
# The offset image against a byte-by-byte model of the write-shadow rules.
kv_fuzzer(image_fuzz image_fuzz.cpp LIBS kv_ipc kv_base ARGS -max_len=2048)
