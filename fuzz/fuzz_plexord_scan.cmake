# The scan list's parser is internal to the library: build it in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/src/scan_list.cpp ${CMAKE_SOURCE_DIR}/plexord/src/util.cpp)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/src)
