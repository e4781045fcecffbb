// The process's console: coloured diagnostics on a terminal.
#ifndef WIDGETKIT_CONSOLE_H
#define WIDGETKIT_CONSOLE_H

#include <widgetkit/export.h>

#include <string>

// Colour values: index in bits 0-2 (0 black, 1 red, 2 green, 3 yellow,
// 4 blue, 5 magenta, 6 cyan, 7 white), bit 3 no colour, bit 4 bright;
// 9 in the low four bits is the default colour.
enum
{
    UX_COLOR_NONE = 0x08,
    UX_COLOR_BRIGHT = 0x10,
    UX_COLOR_DEFAULT = 9
};

// 1 when standard output is a terminal (then output and error are made
// unbuffered), else 0: there is no console window to open here.
WIDGETKIT_API int ux_console_create();

// Sets the colours of standard output and error when they are terminals.
WIDGETKIT_API void ux_console_set_color(int foreground, int background);

// The console text attribute for the colours: foreground red 4, green 2,
// blue 1, intense 8; background red 64, green 32, blue 16, intense 128.
WIDGETKIT_API int ux_console_color_attribute(int foreground, int background);

// The ANSI SGR sequence showing an attribute; 7 on black is the terminal's
// default and gives a plain reset.
WIDGETKIT_API std::string ux_console_ansi_sequence(int attribute);

#endif
