#include "accessible.h"

#include <wx/app.h>
#include <wx/bookctrl.h>
#include <wx/calctrl.h>
#include <wx/control.h>
#include <wx/eventfilter.h>
#include <wx/generic/calctrlg.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/toplevel.h>
#include <wx/weakref.h>
#include <wx/window.h>

// The toolkit has no accessibility layer of its own on GTK: each widget's
// ATK object, which GTK exports to at-spi, is what screen readers see.
#include <gtk/gtk.h>

#include <algorithm>
#include <set>

namespace {

AtkObject* AccessibleOf(wxWindow* window)
{
    GtkWidget* widget = window ? static_cast<GtkWidget*>(window->GetHandle()) : nullptr;
    return widget ? gtk_widget_get_accessible(widget) : nullptr;
}

// Lists and multi-line texts take the focus in the widget their scrolled
// window holds, a combo box with an entry in that entry.
GtkWidget* FocusPart(wxWindow* window)
{
    auto* widget = static_cast<GtkWidget*>(window->GetHandle());
    if (!widget)
        return nullptr;
    const bool inner = GTK_IS_SCROLLED_WINDOW(widget) ||
                       (GTK_IS_COMBO_BOX(widget) && gtk_combo_box_get_has_entry(GTK_COMBO_BOX(widget)));
    if (!inner)
        return nullptr;
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget));
    if (child && GTK_IS_VIEWPORT(child))
        child = gtk_bin_get_child(GTK_BIN(child));
    return child;
}

bool HasWordCharacter(const wxString& text)
{
    return std::any_of(text.begin(), text.end(), [](wxUniChar c) { return c.GetValue() > 127 || wxIsalnum(c); });
}

// Named explicitly, or a button whose own text is a word ("..." is not).
bool HasName(wxWindow* window)
{
    AtkObject* accessible = AccessibleOf(window);
    if (!accessible)
        return true;
    if (accessible->name && *accessible->name)
        return true;
    if (!GTK_IS_BUTTON(window->GetHandle()))
        return false;
    const char* own = atk_object_get_name(accessible);
    return own && HasWordCharacter(wxString::FromUTF8(own));
}

// Panels and the like are looked into; a control's own children are its parts.
bool IsContainer(wxWindow* window)
{
    return !window->IsKindOf(wxCLASSINFO(wxControl)) || window->IsKindOf(wxCLASSINFO(wxBookCtrlBase)) ||
           window->IsKindOf(wxCLASSINFO(wxStaticBox));
}

bool HasFocusableChild(wxWindow* window)
{
    for (wxWindow* child : window->GetChildren())
        if (!child->IsTopLevel() && child->AcceptsFocusFromKeyboard())
            return true;
    return false;
}

// Where the keyboard focus stops: a panel says it accepts the focus when one
// of its children does.
bool IsFocusable(wxWindow* window)
{
    return window->AcceptsFocusFromKeyboard() && !(IsContainer(window) && HasFocusableChild(window));
}

class ReadingOrder
{
public:
    explicit ReadingOrder(wxWindow* top) { Contents(top); }

    std::vector<ReadingItem> items;
    std::vector<wxWindow*> windows;

private:
    void Add(wxWindow* window, ReadingItem::Kind kind, const wxString& text = wxString())
    {
        items.push_back({kind, text});
        windows.push_back(window);
    }

    void Visit(wxWindow* window)
    {
        // A dialog owned by this window is named when it is shown itself.
        if (!m_seen.insert(window).second || window->IsTopLevel())
            return;
        if (window->IsKindOf(wxCLASSINFO(wxStaticText)) || window->IsKindOf(wxCLASSINFO(wxStaticBox)))
            Add(window, ReadingItem::Label, window->GetLabel());
        else
            Add(window, IsFocusable(window) ? ReadingItem::Control : ReadingItem::Other);
        if (IsContainer(window))
            Contents(window);
    }

    void Contents(wxWindow* window)
    {
        if (wxSizer* sizer = window->GetSizer())
            Sizer(sizer);
        for (wxWindow* child : window->GetChildren())
            Visit(child);
    }

    void Sizer(wxSizer* sizer)
    {
        wxStaticBox* box = nullptr;
        if (auto* boxSizer = dynamic_cast<wxStaticBoxSizer*>(sizer)) {
            // The box's title comes before what it holds.
            box = boxSizer->GetStaticBox();
            if (m_seen.insert(box).second)
                Add(box, ReadingItem::Label, box->GetLabel());
        }
        for (wxSizerItem* item : sizer->GetChildren()) {
            if (item->IsWindow())
                Visit(item->GetWindow());
            else if (item->IsSizer())
                Sizer(item->GetSizer());
        }
        if (box)
            Contents(box);
    }

    std::set<wxWindow*> m_seen;
};

void NameParts(wxWindow* control, const wxString& name)
{
    for (wxWindow* child : control->GetChildren()) {
        if (child->IsTopLevel())
            continue;
        if (IsFocusable(child) && !HasName(child))
            SetAccessibleName(child, name);
        NameParts(child, name);
    }
}

// Top-level windows to name again once the events of the moment are done:
// controls added to a shown window are realised one by one.
std::vector<wxWeakRef<wxWindow>> g_pending;

void NamePending()
{
    std::vector<wxWeakRef<wxWindow>> pending;
    pending.swap(g_pending);
    for (wxWindow* top : pending)
        if (top)
            NameControls(top);
}

void NameLater(wxWindow* top)
{
    for (wxWindow* p : g_pending)
        if (p == top)
            return;
    g_pending.emplace_back(top);
    if (g_pending.size() == 1)
        wxTheApp->CallAfter(&NamePending);
}

bool g_filterInstalled = false;

class NamingFilter : public wxEventFilter
{
public:
    // Still installed at exit: the toolkit asserts on a filter left behind.
    ~NamingFilter() override { StopNamingControls(); }

    int FilterEvent(wxEvent& event) override
    {
        const wxEventType type = event.GetEventType();
        if (type != wxEVT_SHOW && type != wxEVT_CREATE)
            return Event_Skip;
        auto* window = wxDynamicCast(event.GetEventObject(), wxWindow);
        if (!window)
            return Event_Skip;
        if (type == wxEVT_SHOW) {
            if (window->IsTopLevel() && static_cast<wxShowEvent&>(event).IsShown())
                NameControls(window);
        } else if (!window->IsTopLevel() && !HasName(window)) {
            // Named already, as the status panels are, it needs no pass.
            wxWindow* top = wxGetTopLevelParent(window);
            if (top && top->IsShown())
                NameLater(top);
        }
        return Event_Skip;
    }
};

NamingFilter g_filter;

} // namespace

void SetAccessibleName(wxWindow* window, const wxString& name)
{
    if (AtkObject* accessible = AccessibleOf(window)) {
        const wxScopedCharBuffer utf8 = name.utf8_str();
        atk_object_set_name(accessible, utf8.data());
        if (GtkWidget* part = FocusPart(window))
            atk_object_set_name(gtk_widget_get_accessible(part), utf8.data());
    }
}

void SetAccessibleDescription(wxWindow* window, const wxString& description)
{
    if (AtkObject* accessible = AccessibleOf(window))
        atk_object_set_description(accessible, description.utf8_str().data());
}

void SetAccessibleRole(wxWindow* window, AccessibleRole role)
{
    if (AtkObject* accessible = AccessibleOf(window))
        atk_object_set_role(accessible, role == AccessibleRole::Heading ? ATK_ROLE_HEADING : ATK_ROLE_PANEL);
}

wxString GetAccessibleName(wxWindow* window)
{
    AtkObject* accessible = AccessibleOf(window);
    const char* name = accessible ? atk_object_get_name(accessible) : nullptr;
    return name ? wxString::FromUTF8(name) : wxString();
}

wxString GetAccessibleDescription(wxWindow* window)
{
    AtkObject* accessible = AccessibleOf(window);
    const char* description = accessible ? atk_object_get_description(accessible) : nullptr;
    return description ? wxString::FromUTF8(description) : wxString();
}

wxString LabelAsName(const wxString& label)
{
    wxString name = wxControl::RemoveMnemonics(label);
    name.Replace("\n", " ");
    name.Trim(true).Trim(false);
    while (name.EndsWith(":"))
        name.RemoveLast().Trim(true);
    return name;
}

wxString NameFor(const std::vector<ReadingItem>& order, size_t index, const wxString& toolTip,
                 const wxString& title)
{
    bool first = true;
    for (size_t i = std::min(index, order.size()); first && i-- > 0;) {
        if (order[i].kind == ReadingItem::Control) {
            first = false;
        } else if (order[i].kind == ReadingItem::Label) {
            const wxString name = LabelAsName(order[i].text);
            if (HasWordCharacter(name))
                return name;
        }
    }
    wxString tip = toolTip;
    tip.Trim(true).Trim(false);
    if (!tip.empty() || !first)
        return tip;
    return LabelAsName(title);
}

int NameControls(wxWindow* top)
{
    if (!top)
        return 0;
    const ReadingOrder order(top);
    int named = 0;
    // The calendar's month and year fields are its siblings, after all else.
    for (wxWindow* window : order.windows) {
        if (auto* calendar = wxDynamicCast(window, wxGenericCalendarCtrl)) {
            for (auto [part, name] : {std::pair{calendar->GetMonthControl(), _("Month")},
                                      std::pair{calendar->GetYearControl(), _("Year")}}) {
                if (part && !HasName(part)) {
                    SetAccessibleName(part, name);
                    ++named;
                }
            }
        }
    }
    for (size_t i = 0; i < order.items.size(); ++i) {
        if (order.items[i].kind != ReadingItem::Control)
            continue;
        wxWindow* control = order.windows[i];
        if (!HasName(control)) {
            const wxString name = NameFor(order.items, i, control->GetToolTipText(), top->GetLabel());
            if (!name.empty()) {
                SetAccessibleName(control, name);
                ++named;
            }
        }
        if (!IsContainer(control)) {
            const wxString name = GetAccessibleName(control);
            if (!name.empty())
                NameParts(control, name);
        }
    }
    return named;
}

void StartNamingControls()
{
    if (g_filterInstalled)
        return;
    wxEvtHandler::AddFilter(&g_filter);
    g_filterInstalled = true;
}

void StopNamingControls()
{
    if (!g_filterInstalled)
        return;
    wxEvtHandler::RemoveFilter(&g_filter);
    g_filterInstalled = false;
    g_pending.clear();
}
