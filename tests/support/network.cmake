# Connection datagrams built from readable values, and the two-peer connection fixture
# shared by the network tests, the fuzz target's seeds and the benchmarks.
if(TARGET tallow_network)
    target_sources(tallow_test_support PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/datagram_writer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/connection_peer.cpp
    )
    target_link_libraries(tallow_test_support PUBLIC tallow_network)
endif()
