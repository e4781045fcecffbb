# The text rules are internal to the library: build them in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/buslink/src/dgtserial_text.cpp)
