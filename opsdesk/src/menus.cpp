#include "menus.h"

#include <wx/menu.h>

std::vector<MenuEntry> PruneSeparators(const std::vector<MenuEntry>& entries)
{
    std::vector<MenuEntry> pruned;
    bool pendingSeparator = false;
    for (const MenuEntry& entry : entries) {
        if (entry.id == MenuEntry::kSeparator) {
            pendingSeparator = !pruned.empty();
            continue;
        }
        if (pendingSeparator)
            pruned.push_back({MenuEntry::kSeparator, wxString(), wxString()});
        pendingSeparator = false;
        pruned.push_back(entry);
    }
    return pruned;
}

void AppendEntries(wxMenu& menu, const std::vector<MenuEntry>& entries)
{
    for (const MenuEntry& entry : PruneSeparators(entries)) {
        if (entry.id == MenuEntry::kSeparator)
            menu.AppendSeparator();
        else
            menu.Append(entry.id, entry.label, entry.help);
    }
}
