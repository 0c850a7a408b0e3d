# The settings reader and writer over arbitrary file contents.
kv_fuzzer(settings_fuzz settings_fuzz.cpp LIBS kv_shell)
