// A one-line message strip at the top of a dialog, with an icon and a close
// button, that fades in; and a dialog base class that carries one.
#ifndef WIDGETKIT_NOTIFICATION_H
#define WIDGETKIT_NOTIFICATION_H

#include <widgetkit/export.h>

#include <wx/artprov.h>
#include <wx/colour.h>
#include <wx/dialog.h>
#include <wx/timer.h>
#include <wx/window.h>

class wxBoxSizer;
class wxButton;
class wxSizer;
class wxStaticBitmap;
class wxStaticText;

// The colour steps of a fade, without a window: each tick moves the
// progress on by 1 / (duration * rate) and blends channel by channel.
class WIDGETKIT_API NotificationFade
{
public:
    explicit NotificationFade(double rate = 10.0, double duration = 0.6);

    void Start(const wxColour& from, const wxColour& to);
    // The timer period of one tick.
    int GetIntervalMs() const;
    // One tick: the colour to show; false when that is the end colour and
    // the fade is over.
    bool Step(wxColour& colour);
    double GetProgress() const { return m_progress; }

    // from + (to - from) * progress per channel, truncated, opaque.
    static wxColour Blend(const wxColour& from, const wxColour& to, double progress);

private:
    double m_rate;
    double m_duration;
    double m_progress = 0.0;
    wxColour m_from;
    wxColour m_to;
};

class WIDGETKIT_API NotificationPanel : public wxWindow
{
public:
    explicit NotificationPanel(wxWindow* parent);

    // Sets the text and makes the panel's minimum size fit it.
    void SetLabel(const wxString& label) override;
    wxString GetLabel() const override;
    // Shows the icon of that art id, in the size of the current art client.
    void SetIcon(const wxString& artId);
    // The art client of later SetIcon calls (it chooses the icon size).
    void SetIconSize(const wxString& artClient);
    void HideIcon();
    void ShowCloseButton(bool show);
    void FadeIn();

    bool IsIconShown() const;
    bool IsCloseButtonShown() const;
    const wxString& GetIconClient() const { return m_artClient; }
    bool IsFading() const { return m_timer.IsRunning(); }
    // How many fades have begun, for those who check that one is not repeated.
    int GetFadeCount() const { return m_fadeCount; }
    wxButton* GetCloseButton() const { return m_close; }

private:
    void OnTimer(wxTimerEvent& event);
    void OnErase(wxEraseEvent& event);
    void OnPaint(wxPaintEvent& event);

    wxTimer m_timer;
    NotificationFade m_fade;
    wxStaticBitmap* m_icon = nullptr;
    wxStaticText* m_label = nullptr;
    wxButton* m_close = nullptr;
    wxBoxSizer* m_sizer = nullptr;
    wxString m_artClient = wxART_MESSAGE_BOX;
    int m_fadeCount = 0;
};

class WIDGETKIT_API wxDialogWithNotification : public wxDialog
{
public:
    wxDialogWithNotification(wxWindow* parent, wxWindowID id, const wxString& title,
                             const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                             long style = wxDEFAULT_DIALOG_STYLE, const wxString& name = wxDialogNameStr);

    NotificationPanel* GetNotification() const { return m_notification; }
    // The caller's content goes here, below the notification.
    wxSizer* GetTopSizer() const;

    void ShowNotification(const wxString& text, const wxString& artId);
    void ShowNotification();
    void HideNotification();
    bool IsNotificationShown() const { return m_shown; }

private:
    void OnButton(wxCommandEvent& event);

    NotificationPanel* m_notification = nullptr;
    wxBoxSizer* m_topSizer = nullptr;
    bool m_shown = false;
};

#endif
