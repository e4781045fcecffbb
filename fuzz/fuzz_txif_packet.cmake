# The TXIF packet rules are internal to the library: built in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/buslink/src/txif_packet.cpp)
