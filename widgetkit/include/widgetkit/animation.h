// Widgets::Animation: plays a strip of equally wide frames.
#ifndef WIDGETKIT_ANIMATION_H
#define WIDGETKIT_ANIMATION_H

#include <widgetkit/export.h>

#include <wx/bitmap.h>
#include <wx/timer.h>
#include <wx/window.h>

#include <vector>

namespace Widgets {

class WIDGETKIT_API Animation : public wxWindow
{
public:
    Animation(wxWindow* parent, wxWindowID id, const wxString& resource = wxString(), unsigned count = 0);
    ~Animation() override;

    // Loads a named bitmap: one registered with RegisterResource, else an
    // image file of that path.
    bool load(const wxString& name, unsigned count);
    // The strip holds count frames side by side; count 0 means square frames.
    bool load(const wxBitmap& strip, unsigned count);

    void play();
    void pause();
    void stop();
    void setInterval(unsigned ms);

    unsigned interval() const { return m_interval; }
    bool isPlaying() const { return m_playing; }
    unsigned frameIndex() const { return m_index; }
    unsigned frameCount() const { return static_cast<unsigned>(m_frames.size()); }
    const wxBitmap& frame(unsigned index) const { return m_frames.at(index); }

    // The program's own named bitmaps, found by load(name, count).
    static void RegisterResource(const wxString& name, const wxBitmap& bitmap);
    static void UnregisterResource(const wxString& name);

private:
    void OnPaint(wxPaintEvent& event);
    void OnTimer(wxTimerEvent& event);

    unsigned m_index = 0;
    bool m_playing = false;
    unsigned m_interval = 50;
    wxTimer m_timer;
    std::vector<wxBitmap> m_frames;
};

} // namespace Widgets

#endif
