/* Built against an installed tree with nothing but pkg-config's flags. */
#include <buslink.h>

#include <stdio.h>

int main(void)
{
    if (cl_binary_to_bcd16(1234) != 0x1234 || cl_bcd32_to_binary(0x12345678u) != 12345678u) {
        fprintf(stderr, "BCD conversion is wrong\n");
        return 1;
    }
    buslink_set_debug_level(3);
    if (buslink_get_debug_level() != 3) {
        fprintf(stderr, "debug level not kept\n");
        return 1;
    }
    puts("buslink ok");
    return 0;
}
