#include <widgetkit/console.h>

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace {

// Console attribute bits.
constexpr int kForeBlue = 0x01;
constexpr int kForeGreen = 0x02;
constexpr int kForeRed = 0x04;
constexpr int kForeIntense = 0x08;
constexpr int kBackBlue = 0x10;
constexpr int kBackGreen = 0x20;
constexpr int kBackRed = 0x40;
constexpr int kBackIntense = 0x80;

constexpr int kColorRed = 0x01;
constexpr int kColorGreen = 0x02;
constexpr int kColorBlue = 0x04;

bool IsDefault(int color)
{
    return (color & 0x0F) == UX_COLOR_DEFAULT;
}

// ANSI colour numbers count red 1, green 2, blue 4 from three attribute bits.
int AnsiIndex(int attribute, int red, int green, int blue)
{
    return ((attribute & red) ? 1 : 0) | ((attribute & green) ? 2 : 0) | ((attribute & blue) ? 4 : 0);
}

} // namespace

int ux_console_create()
{
    if (!isatty(STDOUT_FILENO))
        return 0;
    // Unbuffered, so that output and error interleave as they are written.
    std::fflush(stdout);
    std::fflush(stderr);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    std::ios::sync_with_stdio(true);
    return 1;
}

int ux_console_color_attribute(int foreground, int background)
{
    int attribute = kForeRed | kForeGreen | kForeBlue;
    if (!IsDefault(foreground)) {
        attribute = 0;
        if (!(foreground & UX_COLOR_NONE)) {
            if (foreground & kColorRed)
                attribute |= kForeRed;
            if (foreground & kColorGreen)
                attribute |= kForeGreen;
            if (foreground & kColorBlue)
                attribute |= kForeBlue;
        }
        if (foreground & UX_COLOR_BRIGHT)
            attribute |= kForeIntense;
    }
    if (!IsDefault(background)) {
        if (!(background & UX_COLOR_NONE)) {
            if (background & kColorRed)
                attribute |= kBackRed;
            if (background & kColorGreen)
                attribute |= kBackGreen;
            if (background & kColorBlue)
                attribute |= kBackBlue;
        }
        if (background & UX_COLOR_BRIGHT)
            attribute |= kBackIntense;
    }
    return attribute;
}

std::string ux_console_ansi_sequence(int attribute)
{
    // The console's own default, 7 on black, is the terminal's default too:
    // plain white and plain black stay the terminal's colours.
    std::string sequence = "\x1b[0";
    const int fore = AnsiIndex(attribute, kForeRed, kForeGreen, kForeBlue);
    if (attribute & kForeIntense)
        sequence += ";" + std::to_string(90 + fore);
    else if (fore != 7)
        sequence += ";" + std::to_string(30 + fore);
    const int back = AnsiIndex(attribute, kBackRed, kBackGreen, kBackBlue);
    if (attribute & kBackIntense)
        sequence += ";" + std::to_string(100 + back);
    else if (back != 0)
        sequence += ";" + std::to_string(40 + back);
    return sequence + "m";
}

void ux_console_set_color(int foreground, int background)
{
    const std::string sequence = ux_console_ansi_sequence(ux_console_color_attribute(foreground, background));
    // Escape codes only go to terminals, so that redirected logs stay plain.
    if (isatty(STDOUT_FILENO)) {
        std::fputs(sequence.c_str(), stdout);
        std::fflush(stdout);
    }
    if (isatty(STDERR_FILENO)) {
        std::fputs(sequence.c_str(), stderr);
        std::fflush(stderr);
    }
}
