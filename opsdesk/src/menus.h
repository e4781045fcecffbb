// Menus built from tables, so that a window adds an item with one line once
// the window the item opens exists.
#ifndef OPSDESK_MENUS_H
#define OPSDESK_MENUS_H

#include <wx/string.h>

#include <vector>

class wxMenu;

struct MenuEntry
{
    int id; // kSeparator for a separator line
    wxString label;
    wxString help;

    static constexpr int kSeparator = -1;
};

// Drops separators that would stand first, last or next to another one,
// as happens while some groups of a menu have no items yet.
std::vector<MenuEntry> PruneSeparators(const std::vector<MenuEntry>& entries);

// Appends the pruned entries to the menu.
void AppendEntries(wxMenu& menu, const std::vector<MenuEntry>& entries);

#endif
