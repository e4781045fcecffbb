# The toolkit-free XML core of widgetkit, built in.
find_package(LibXml2 REQUIRED)
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/widgetkit/src/xmlcore.cpp)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/widgetkit/src)
target_link_libraries(${name} PRIVATE LibXml2::LibXml2)
