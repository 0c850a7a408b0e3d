# The link's receive path: reassembler, validation, block and update application.
kv_fuzzer(frame_fuzz frame_fuzz.cpp LIBS kv_link ARGS -max_len=70000)
