#include <widgetkit/animation.h>

#include <wx/dcclient.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/log.h>

#include <map>

namespace Widgets {

namespace {

// Named bitmaps stand in for the module resources of other platforms. Never
// destroyed: bitmaps must not be released after the toolkit has shut down.
std::map<wxString, wxBitmap>& Resources()
{
    static auto* resources = new std::map<wxString, wxBitmap>;
    return *resources;
}

wxBitmap FindResource(const wxString& name)
{
    const auto& resources = Resources();
    const auto it = resources.find(name);
    if (it != resources.end())
        return it->second;

    if (!wxFileName::FileExists(name))
        return wxNullBitmap;
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    wxImage image;
    // Quietly: a missing or broken file is a false result, not a message box.
    wxLogNull noLog;
    if (!image.LoadFile(name))
        return wxNullBitmap;
    return wxBitmap(image);
}

} // namespace

Animation::Animation(wxWindow* parent, wxWindowID id, const wxString& resource, unsigned count)
    : wxWindow(parent, id),
      m_timer(this)
{
    Bind(wxEVT_PAINT, &Animation::OnPaint, this);
    Bind(wxEVT_TIMER, &Animation::OnTimer, this);
    if (!resource.empty() && count != 0)
        load(resource, count);
}

Animation::~Animation()
{
    m_timer.Stop();
}

void Animation::RegisterResource(const wxString& name, const wxBitmap& bitmap)
{
    Resources()[name] = bitmap;
}

void Animation::UnregisterResource(const wxString& name)
{
    Resources().erase(name);
}

bool Animation::load(const wxString& name, unsigned count)
{
    const wxBitmap strip = FindResource(name);
    if (!strip.IsOk()) {
        stop();
        return false;
    }
    return load(strip, count);
}

bool Animation::load(const wxBitmap& strip, unsigned count)
{
    m_frames.clear();
    m_index = 0;

    // An empty strip, or one narrower than high with count 0, has no frames
    // to cut; dividing by its height or count would fail.
    const int width = strip.IsOk() ? strip.GetWidth() : 0;
    const int height = strip.IsOk() ? strip.GetHeight() : 0;
    if (width <= 0 || height <= 0) {
        stop();
        return false;
    }
    if (count == 0)
        count = static_cast<unsigned>(width / height);
    if (count == 0 || static_cast<unsigned>(width) % count != 0) {
        stop();
        return false;
    }

    const int frameWidth = width / static_cast<int>(count);
    m_frames.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        m_frames.push_back(strip.GetSubBitmap(wxRect(static_cast<int>(i) * frameWidth, 0, frameWidth, height)));
    SetMinSize(wxSize(frameWidth, height));
    Refresh();
    return true;
}

void Animation::play()
{
    if (m_playing)
        return;
    m_playing = true;
    m_timer.Start(static_cast<int>(m_interval));
}

void Animation::pause()
{
    if (!m_playing)
        return;
    m_timer.Stop();
    m_playing = false;
}

void Animation::stop()
{
    if (!m_playing)
        return;
    m_timer.Stop();
    m_playing = false;
    m_index = 0;
    Refresh();
}

void Animation::setInterval(unsigned ms)
{
    m_interval = ms;
    if (m_playing)
        m_timer.Start(static_cast<int>(m_interval));
}

void Animation::OnTimer(wxTimerEvent&)
{
    if (!m_playing || m_frames.empty())
        return;
    m_index = (m_index + 1) % static_cast<unsigned>(m_frames.size());
    Refresh();
}

void Animation::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    if (m_index >= m_frames.size())
        return;
    const wxBitmap& frame = m_frames[m_index];
    const wxSize client = GetClientSize();
    const int x = client.x > frame.GetWidth() ? (client.x - frame.GetWidth()) / 2 : 0;
    const int y = client.y > frame.GetHeight() ? (client.y - frame.GetHeight()) / 2 : 0;
    dc.DrawBitmap(frame, x, y, true);
}

} // namespace Widgets
