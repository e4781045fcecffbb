# The broker texts are internal to the library: build them in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/src/mqtt_text.cpp ${CMAKE_SOURCE_DIR}/plexord/src/util.cpp)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/src)
