// The network types the console knows: the key passed to the core, the label
// offered to the operator and the setup dialog that edits a network of it.
#ifndef OPSDESK_NETWORKTYPES_H
#define OPSDESK_NETWORKTYPES_H

#include <plexord.h>

#include <vector>

class wxDialog;
class wxWindow;

struct NetworkTypeRow
{
    const char* key;
    const char* label; // untranslated; show _(label)
};

// The eleven types in the order they are offered.
const std::vector<NetworkTypeRow>& NetworkTypeTable();

// The table row of a type key; null when the console does not know the key.
const NetworkTypeRow* FindNetworkType(const char* key);

// The setup dialog for the network's type, built for its id and not yet
// shown; null when the type is not in the table.
wxDialog* CreateNetworkSetupDialog(wxWindow* parent, network_t* network);

#endif
