# The typed text control's checks and the date-time class need no display;
# the control itself runs on Xvfb with a real wxApp.
plexord_add_test(textctrl_tests
  SOURCES textctrl_check_test.cpp datetime_test.cpp
  LIBS widgetkit)
plexord_add_gui_test(textctrl_gui_tests SOURCES textctrl_gui_test.cpp LIBS widgetkit TIMEOUT 60)
