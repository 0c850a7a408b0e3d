# The server link: frames, the stream reassembler, and the receivers over
# loopback sockets. The last use the link's fixed ports on 127.0.0.1, so they
# run one at a time.
kv_unit_test(frames_test frames_test.cpp LIBS kv_link)
kv_unit_test(frame_reader_test frame_reader_test.cpp LIBS kv_link)

add_executable(link_test link_test.cpp)
target_link_libraries(link_test PRIVATE kv_link GTest::gtest GTest::gtest_main)
gtest_discover_tests(link_test DISCOVERY_MODE PRE_TEST PROPERTIES RESOURCE_LOCK kv_link_ports)
kv_unit_test(receiver_thread_test receiver_thread_test.cpp LIBS kv_link)
kv_unit_test(net_test net_test.cpp LIBS kv_link)
kv_unit_test(stray_beacons_test stray_beacons_test.cpp LIBS kv_link)
