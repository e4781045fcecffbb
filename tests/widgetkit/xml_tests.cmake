# The XML reader, writer and tree; no display needed. The name-clash test
# links the toolkit's own xml library beside ours (through plexord::wx).
plexord_add_test(xml_tests
  SOURCES xml_test.cpp xml_clash_test.cpp
  LIBS widgetkit plexord::wx ${CMAKE_DL_LIBS})
target_precompile_headers(xml_tests PRIVATE <wx/wx.h>)
