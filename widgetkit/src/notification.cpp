#include <widgetkit/notification.h>

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <algorithm>

NotificationFade::NotificationFade(double rate, double duration)
    : m_rate(rate)
    , m_duration(duration)
{
}

void NotificationFade::Start(const wxColour& from, const wxColour& to)
{
    m_from = from;
    m_to = to;
    m_progress = 0.0;
}

int NotificationFade::GetIntervalMs() const
{
    return static_cast<int>(1000.0 / m_rate);
}

bool NotificationFade::Step(wxColour& colour)
{
    m_progress += 1.0 / (m_duration * m_rate);
    if (m_progress < 1.0) {
        colour = Blend(m_from, m_to, m_progress);
        return true;
    }
    colour = m_to;
    return false;
}

wxColour NotificationFade::Blend(const wxColour& from, const wxColour& to, double progress)
{
    auto channel = [progress](int a, int b) {
        return static_cast<unsigned char>(static_cast<int>(a + (b - a) * progress));
    };
    return wxColour(channel(from.Red(), to.Red()), channel(from.Green(), to.Green()),
                    channel(from.Blue(), to.Blue()), 255);
}

// ---------------------------------------------------------------------------

NotificationPanel::NotificationPanel(wxWindow* parent)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, 0, wxPanelNameStr)
    , m_timer(this)
{
    SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_INFOBK));

    m_icon = new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmap(wxART_INFORMATION, m_artClient));
    m_label = new wxStaticText(this, wxID_ANY, wxEmptyString);
    m_label->SetForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_INFOTEXT));
    m_close = new wxButton(this, wxID_CLOSE);

    m_sizer = new wxBoxSizer(wxHORIZONTAL);
    m_sizer->Add(m_icon, 0, wxLEFT | wxTOP | wxBOTTOM | wxALIGN_CENTER_VERTICAL, 12);
    m_sizer->Add(m_label, 1, wxALL | wxALIGN_CENTER_VERTICAL, 12);
    m_sizer->Add(m_close, 0, wxRIGHT | wxTOP | wxBOTTOM | wxALIGN_CENTER_VERTICAL, 12);
    SetSizerAndFit(m_sizer);

    Bind(wxEVT_TIMER, &NotificationPanel::OnTimer, this);
    Bind(wxEVT_ERASE_BACKGROUND, &NotificationPanel::OnErase, this);
    Bind(wxEVT_PAINT, &NotificationPanel::OnPaint, this);
}

void NotificationPanel::SetLabel(const wxString& label)
{
    m_label->SetLabel(label);
    Layout();
    SetMinSize(m_sizer->ComputeFittingClientSize(this));
}

wxString NotificationPanel::GetLabel() const
{
    return m_label->GetLabel();
}

void NotificationPanel::SetIcon(const wxString& artId)
{
    m_icon->SetBitmap(wxArtProvider::GetBitmap(artId, m_artClient));
    m_icon->Show();
    Layout();
    m_sizer->SetSizeHints(this);
}

void NotificationPanel::SetIconSize(const wxString& artClient)
{
    m_artClient = artClient;
}

void NotificationPanel::HideIcon()
{
    m_icon->Hide();
    Layout();
}

void NotificationPanel::ShowCloseButton(bool show)
{
    m_sizer->Show(m_close, show);
    Layout();
}

bool NotificationPanel::IsIconShown() const
{
    return m_icon->IsShown();
}

bool NotificationPanel::IsCloseButtonShown() const
{
    return m_close->IsShown();
}

void NotificationPanel::FadeIn()
{
    const wxColour start = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE);
    SetBackgroundColour(start);
    m_fade.Start(start, wxSystemSettings::GetColour(wxSYS_COLOUR_INFOBK));
    ++m_fadeCount;
    m_timer.Start(m_fade.GetIntervalMs(), wxTIMER_CONTINUOUS);
}

void NotificationPanel::OnTimer(wxTimerEvent&)
{
    wxColour colour;
    const bool fading = m_fade.Step(colour);
    SetBackgroundColour(colour);
    Refresh();
    if (!fading)
        m_timer.Stop();
}

void NotificationPanel::OnErase(wxEraseEvent&)
{
    // The background is painted once per step, not erased in between.
}

void NotificationPanel::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
}

// ---------------------------------------------------------------------------

wxDialogWithNotification::wxDialogWithNotification(wxWindow* parent, wxWindowID id, const wxString& title,
                                                   const wxPoint& pos, const wxSize& size, long style,
                                                   const wxString& name)
    : wxDialog(parent, id, title, pos, size, style, name)
{
    m_notification = new NotificationPanel(this);
    m_topSizer = new wxBoxSizer(wxVERTICAL);
    m_topSizer->Add(m_notification, 0, wxEXPAND);
    m_topSizer->Show(m_notification, false);
    SetSizerAndFit(m_topSizer);
    m_notification->Bind(wxEVT_BUTTON, &wxDialogWithNotification::OnButton, this);
}

wxSizer* wxDialogWithNotification::GetTopSizer() const
{
    return m_topSizer;
}

void wxDialogWithNotification::ShowNotification(const wxString& text, const wxString& artId)
{
    m_notification->SetLabel(text);
    m_notification->SetIcon(artId);
    ShowNotification();
}

void wxDialogWithNotification::ShowNotification()
{
    if (!m_shown) {
        m_shown = true;
        m_notification->FadeIn();
    }
    m_topSizer->Show(m_notification, true);
    Layout();
    const wxSize minimum = m_topSizer->ComputeFittingWindowSize(this);
    SetMinSize(minimum);
    const wxSize client = GetClientSize();
    const wxSize content = m_topSizer->ComputeFittingClientSize(this);
    // Grown to show the message, never shrunk.
    if (client.x < content.x || client.y < content.y) {
        const wxSize size = GetSize();
        SetSize(std::max(size.x, minimum.x), std::max(size.y, minimum.y));
    }
    m_notification->Layout();
    m_topSizer->Layout();
}

void wxDialogWithNotification::HideNotification()
{
    if (!m_shown)
        return;
    m_shown = false;
    m_topSizer->Show(m_notification, false);
    Layout();
    SetMinSize(m_topSizer->ComputeFittingWindowSize(this));
}

void wxDialogWithNotification::OnButton(wxCommandEvent& event)
{
    if (event.GetId() == wxID_CLOSE)
        HideNotification();
    else
        event.Skip();
}
