# A gateway session over arbitrary messages, with the protocol's words as a
# dictionary.
kv_fuzzer(gateway_fuzz gateway_fuzz.cpp LIBS kv_web ARGS -dict=${CMAKE_CURRENT_SOURCE_DIR}/gateway_fuzz.dict)
# The pages' path rules over arbitrary request paths.
kv_fuzzer(page_path_fuzz page_path_fuzz.cpp LIBS kv_web)
