# The link's receive path: reassembler, validation, block and update application.
kv_fuzzer(frame_fuzz frame_fuzz.cpp LIBS kv_link)
# A short run as a test of the fuzz build.
add_test(NAME frame_fuzz_short COMMAND frame_fuzz -max_total_time=10 -seed=1 -max_len=70000)
