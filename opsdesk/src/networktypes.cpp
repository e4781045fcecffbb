#include "networktypes.h"

#include "networksetup.h"

#include <basekit.h>

#include <wx/intl.h>

#include <cstdio>

const std::vector<NetworkTypeRow>& NetworkTypeTable()
{
    static const std::vector<NetworkTypeRow> table = {
        {"directnet", wxTRANSLATE("DirectNET")},     {"sl3", wxTRANSLATE("Superlink 3")},
        {"lct1", wxTRANSLATE("LCT-1")},              {"db", wxTRANSLATE("Database")},
        {"plexor", wxTRANSLATE("Plexord")},          {"modbus/rtu", wxTRANSLATE("MODBUS/RTU")},
        {"modbus/tcp", wxTRANSLATE("MODBUS/TCP")},   {"modbus/xbee", wxTRANSLATE("MODBUS/XBee")},
        {"arcnet/dgt", wxTRANSLATE("ARCNET/DGT")},   {"txif", wxTRANSLATE("TXIF")},
        {"dgt-serial", wxTRANSLATE("DGT serial")},
    };
    return table;
}

const NetworkTypeRow* FindNetworkType(const char* key)
{
    if (!key)
        return nullptr;
    for (const NetworkTypeRow& row : NetworkTypeTable())
        if (ux_streq(row.key, key))
            return &row;
    return nullptr;
}

wxDialog* CreateNetworkSetupDialog(wxWindow* parent, network_t* network)
{
    if (!network)
        return nullptr;
    const char* key = network_get_type(network);
    const uint16_t id = network_get_id(network);
    const NetworkTypeRow* row = FindNetworkType(key);
    if (!row) {
        // A network of a type the console has no dialog for opens nothing.
        std::fprintf(stderr, "Unsupported network type: %s\n", key ? key : "");
        return nullptr;
    }
    const auto is = [row](const char* k) { return ux_streq(row->key, k); };
    if (is("directnet"))
        return new DNETIoSetupDlg(parent, id);
    if (is("sl3"))
        return new SLComSetupDlg(parent, id);
    if (is("lct1"))
        return new LCT1ComSetupDlg(parent, id);
    if (is("db"))
        return new DBComSetupDlg(parent, id);
    if (is("plexor"))
        return new PlexorSetupDlg(parent, id);
    if (is("modbus/rtu") || is("modbus/xbee"))
        return new ModbusSerialSetupDialog(parent, id, wxGetTranslation(row->label));
    if (is("modbus/tcp"))
        return new ModbusTcpSetupDialog(parent, id);
    if (is("arcnet/dgt"))
        return new ArcnetDgtSetupDialog(parent, id);
    if (is("txif"))
        return new TXIFSetupDialog(parent, id);
    if (is("dgt-serial"))
        return new DgtSerialSetupDlg(parent, id);
    return nullptr;
}
