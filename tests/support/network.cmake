# Connection datagrams built from readable values, the two-peer connection fixture,
# network_game_config resources and the networked-game cluster, shared by the network
# tests, the fuzz targets' seeds and the benchmarks. The config writer library is defined
# with the tools (the config compiler uses it too).
if(TARGET tallow_network)
    target_sources(tallow_test_support PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/writers/datagram_writer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/fakes/connection_peer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/writers/lan_datagram_writer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/fakes/network_game_peer.cpp
    )
    target_link_libraries(tallow_test_support PUBLIC tallow_network tallow_network_config_writer)
endif()
