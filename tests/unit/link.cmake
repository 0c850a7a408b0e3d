# The server link: frames, the stream reassembler, the receivers given frames
# and datagrams directly, and the receivers over loopback sockets. The last
# use the link's fixed ports on 127.0.0.1, and both receiver programs move
# into a network namespace of their own when they may, so they run one at a
# time.
kv_unit_test(frames_test frames_test.cpp LIBS kv_link)
kv_unit_test(frame_reader_test frame_reader_test.cpp LIBS kv_link)

kv_unit_test(stray_beacons_test stray_beacons_test.cpp LIBS kv_link)
kv_unit_test(link_choice_test link_choice_test.cpp LIBS kv_link)
if(WIN32)
  # The Windows build has the thread and socket tests as *_wine_test
  # (tests/e2e/threads.cmake); the ones below work POSIX sockets and namespaces.
  return()
endif()
foreach(linkTest link_receivers_test link_sockets_test)
  add_executable(${linkTest} ${linkTest}.cpp)
  target_link_libraries(${linkTest} PRIVATE kv_link GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${linkTest} DISCOVERY_MODE PRE_TEST PROPERTIES RESOURCE_LOCK kv_link_ports TIMEOUT 120)
endforeach()
kv_unit_test(receiver_thread_test receiver_thread_test.cpp LIBS kv_link)
kv_unit_test(net_test net_test.cpp LIBS kv_link)
kv_unit_test(name_lookup_test name_lookup_test.cpp LIBS kv_link)
