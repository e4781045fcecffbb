#include "openwindows.h"

#include <wx/dialog.h>
#include <wx/event.h>
#include <wx/menu.h>

#include <algorithm>

#ifdef __WXGTK__
#include <dlfcn.h>
#endif

namespace {

#ifdef __WXGTK__
// Message boxes and pop-up menus run in GTK's own loops, which no toolkit
// call ends; GTK's own calls do. The build has no GTK headers, so the few
// calls are taken from the GTK library the toolkit has loaded.
template <typename Fn>
Fn GtkFunction(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

void PopDown(wxMenu* menu)
{
    using Popdown = void (*)(void*);
    static const auto popdown = GtkFunction<Popdown>("gtk_menu_popdown");
    if (popdown && menu->m_menu)
        popdown(menu->m_menu);
}

// Answers a native dialog as its Cancel (or Escape) would.
bool CancelNative(wxDialog* dialog)
{
    using DialogType = unsigned long (*)();
    using IsA = int (*)(void*, unsigned long);
    using Respond = void (*)(void*, int);
    static const auto dialogType = GtkFunction<DialogType>("gtk_dialog_get_type");
    static const auto isA = GtkFunction<IsA>("g_type_check_instance_is_a");
    static const auto respond = GtkFunction<Respond>("gtk_dialog_response");
    constexpr int kResponseCancel = -6;
    void* widget = dialog->GetHandle();
    if (!widget || !dialogType || !isA || !respond || !isA(widget, dialogType()))
        return false;
    respond(widget, kResponseCancel);
    return true;
}
#else
void PopDown(wxMenu*)
{
}

bool CancelNative(wxDialog*)
{
    return false;
}
#endif

} // namespace

int OpenWindows::Enter(wxDialog* dialog)
{
    m_dialogs.push_back(dialog);
    return wxID_NONE;
}

void OpenWindows::Exit(wxDialog* dialog)
{
    const auto it = std::find(m_dialogs.rbegin(), m_dialogs.rend(), dialog);
    if (it != m_dialogs.rend())
        m_dialogs.erase(std::next(it).base());
}

void OpenWindows::Track(const wxEvent& event)
{
    const wxEventType type = event.GetEventType();
    if (type != wxEVT_MENU_OPEN && type != wxEVT_MENU_CLOSE)
        return;
    const auto& menuEvent = static_cast<const wxMenuEvent&>(event);
    wxMenu* menu = menuEvent.GetMenu();
    std::erase(m_menus, menu);
    // Menus of the menu bar run in the main loop and go with the frame.
    if (type == wxEVT_MENU_OPEN && menuEvent.IsPopup() && menu)
        m_menus.push_back(menu);
}

bool OpenWindows::CloseInnermost()
{
    // A pop-up menu takes all input, so it is always the innermost.
    if (!m_menus.empty()) {
        wxMenu* menu = m_menus.back();
        m_menus.pop_back();
        PopDown(menu);
        return true;
    }
    if (m_dialogs.empty())
        return false;
    wxDialog* dialog = m_dialogs.back();
    if (!dialog->IsModal()) {
        // Still being set up, or shown by the native toolkit.
        CancelNative(dialog);
        return true;
    }
    // Its own Cancel first, so that its caller sees a cancelled dialog
    // (the console's own dialogs end with 0 then).
    wxCommandEvent cancel(wxEVT_BUTTON, wxID_CANCEL);
    cancel.SetEventObject(dialog);
    dialog->ProcessWindowEvent(cancel);
    if (dialog->IsModal())
        dialog->EndModal(wxID_CANCEL);
    return true;
}
