// Built against an installed tree with nothing but pkg-config's flags; runs
// without a display.
#include <widgetkit/functions.h>

#include <cstdio>

int main()
{
    if (wx_concat_path("dir", "name") != "dir\\name" || wx_concat_path("", "name") != "name") {
        std::fprintf(stderr, "path joining is wrong\n");
        return 1;
    }
    if (!ux_validate_wx_date(2024, 1, 29) || ux_validate_wx_date(2023, 1, 29)) {
        std::fprintf(stderr, "date validation is wrong\n");
        return 1;
    }
    std::puts("widgetkit ok");
    return 0;
}
