# The SuperLink text rules are internal to the library: built in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/buslink/src/slcom_text.cpp)
