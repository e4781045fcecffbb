#include <widgetkit/sizegroup.h>

#include <wx/window.h>

#include <algorithm>

uxSizeGroup::uxSizeGroup(SizeGroupMode mode)
    : m_mode(mode)
{
}

void uxSizeGroup::Add(wxWindow* window)
{
    if (window)
        m_windows.push_back(window);
}

void uxSizeGroup::Resize()
{
    if (m_windows.empty())
        return;

    wxSize largest(0, 0);
    for (wxWindow* window : m_windows) {
        const wxSize best = window->GetBestSize();
        largest.x = std::max(largest.x, best.x);
        largest.y = std::max(largest.y, best.y);
    }

    const int width = (m_mode == SameWidth || m_mode == SameSize) ? largest.x : -1;
    const int height = (m_mode == SameHeight || m_mode == SameSize) ? largest.y : -1;
    for (wxWindow* window : m_windows)
        window->SetInitialSize(wxSize(width, height));
}
