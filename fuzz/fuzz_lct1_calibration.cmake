# The calibration texts are the plug-in's own: build its parser in.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/plugins/lct1/lct1_calibration.cpp)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/plexord/plugins/lct1)
