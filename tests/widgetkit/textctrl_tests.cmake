# The date-time class needs no display.
plexord_add_test(textctrl_tests SOURCES datetime_test.cpp LIBS widgetkit)
