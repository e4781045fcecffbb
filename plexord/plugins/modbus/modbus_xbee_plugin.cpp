// The "modbus/xbee" network type: MODBUS over XBee radio modules. A plug-in of its own, so
// that the operator's failure texts name the type.
#include "modbus_network.h"

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {mbplug::xbee_type()};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "modbus/xbee", 1, types};
    return &plugin;
}
