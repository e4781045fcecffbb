#include <widgetkit/animation.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/imagpng.h>

#include <vector>

namespace {

const wxColour kFrameColours[] = {*wxRED, *wxGREEN, *wxBLUE, *wxBLACK};

// A strip of count frames of width x height, each filled with its own colour.
wxBitmap Strip(int width, int height, int count)
{
    wxBitmap strip(width * count, height, 24);
    wxMemoryDC dc(strip);
    for (int i = 0; i < count; ++i) {
        dc.SetBrush(wxBrush(kFrameColours[i % 4]));
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.DrawRectangle(i * width, 0, width, height);
    }
    dc.SelectObject(wxNullBitmap);
    return strip;
}

wxColour CentreColour(const wxBitmap& bitmap)
{
    const wxImage image = bitmap.ConvertToImage();
    const int x = image.GetWidth() / 2;
    const int y = image.GetHeight() / 2;
    return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

void Tick(wxWindow* window)
{
    wxTimer other;
    wxTimerEvent tick(other);
    window->ProcessWindowEvent(tick);
}

class AnimationTest : public ::testing::Test
{
protected:
    void SetUp() override { m_frame = new wxFrame(nullptr, wxID_ANY, "animation"); }
    void TearDown() override { delete m_frame; }

    wxFrame* m_frame = nullptr;
};

TEST_F(AnimationTest, CutsAStripIntoFrames)
{
    auto* anim = new Widgets::Animation(m_frame, wxID_ANY);
    EXPECT_EQ(anim->frameCount(), 0u);
    EXPECT_EQ(anim->interval(), 50u);
    EXPECT_FALSE(anim->isPlaying());

    // 96 x 32 with count 0: square frames.
    ASSERT_TRUE(anim->load(Strip(32, 32, 3), 0));
    ASSERT_EQ(anim->frameCount(), 3u);
    EXPECT_EQ(anim->GetMinSize(), wxSize(32, 32));
    EXPECT_EQ(anim->frameIndex(), 0u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(anim->frame(i).GetSize(), wxSize(32, 32));
        EXPECT_EQ(CentreColour(anim->frame(i)), kFrameColours[i]) << "frame " << i;
    }

    ASSERT_TRUE(anim->load(Strip(24, 32, 4), 4));
    EXPECT_EQ(anim->frameCount(), 4u);
    EXPECT_EQ(anim->GetMinSize(), wxSize(24, 32));
    EXPECT_EQ(CentreColour(anim->frame(3)), kFrameColours[3]);
}

TEST_F(AnimationTest, UnevenOrEmptyStripsFailAndStop)
{
    auto* anim = new Widgets::Animation(m_frame, wxID_ANY);
    ASSERT_TRUE(anim->load(Strip(32, 32, 3), 0));
    anim->play();
    Tick(anim);
    EXPECT_FALSE(anim->load(Strip(32, 32, 3), 5));
    EXPECT_FALSE(anim->isPlaying());
    EXPECT_EQ(anim->frameCount(), 0u);
    EXPECT_EQ(anim->frameIndex(), 0u);
    // Playing nothing does nothing.
    anim->play();
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 0u);
    anim->stop();

    EXPECT_FALSE(anim->load(wxNullBitmap, 0));
    // Narrower than high: count 0 would mean no frame at all.
    EXPECT_FALSE(anim->load(wxBitmap(16, 32), 0));
    EXPECT_TRUE(anim->load(wxBitmap(16, 32), 1));
}

TEST_F(AnimationTest, PlayPauseStop)
{
    auto* anim = new Widgets::Animation(m_frame, wxID_ANY);
    ASSERT_TRUE(anim->load(Strip(32, 32, 3), 0));

    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 0u) << "ticks count only while playing";

    anim->play();
    EXPECT_TRUE(anim->isPlaying());
    Tick(anim);
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 2u);
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 0u) << "back to the first frame after the last";
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 1u);

    anim->pause();
    EXPECT_FALSE(anim->isPlaying());
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 1u) << "pause keeps the frame";

    anim->stop();
    EXPECT_EQ(anim->frameIndex(), 1u) << "stop does nothing unless playing";

    anim->play();
    anim->setInterval(200);
    EXPECT_EQ(anim->interval(), 200u);
    EXPECT_TRUE(anim->isPlaying());
    Tick(anim);
    EXPECT_EQ(anim->frameIndex(), 2u);
    anim->stop();
    EXPECT_FALSE(anim->isPlaying());
    EXPECT_EQ(anim->frameIndex(), 0u);

    // A new strip starts at its first frame.
    anim->play();
    Tick(anim);
    ASSERT_TRUE(anim->load(Strip(32, 32, 2), 0));
    EXPECT_EQ(anim->frameIndex(), 0u);
}

TEST_F(AnimationTest, TimerAdvancesFramesWhilePlaying)
{
    auto* anim = new Widgets::Animation(m_frame, wxID_ANY);
    ASSERT_TRUE(anim->load(Strip(32, 32, 3), 0));
    anim->setInterval(10);
    anim->play();
    // The real timer, for once: the frame must move within a generous bound.
    const wxLongLong until = wxGetLocalTimeMillis() + 3000;
    while (anim->frameIndex() == 0 && wxGetLocalTimeMillis() < until) {
        WxTestYield();
        wxMilliSleep(5);
    }
    EXPECT_NE(anim->frameIndex(), 0u);
    anim->stop();
}

TEST_F(AnimationTest, LoadsNamedResourcesAndFiles)
{
    Widgets::Animation::RegisterResource("test-spinner", Strip(16, 16, 4));
    auto* anim = new Widgets::Animation(m_frame, wxID_ANY, "test-spinner", 4);
    EXPECT_EQ(anim->frameCount(), 4u);
    EXPECT_EQ(anim->GetMinSize(), wxSize(16, 16));
    Widgets::Animation::UnregisterResource("test-spinner");

    EXPECT_FALSE(anim->load("test-spinner", 4));
    EXPECT_FALSE(anim->load("no-such-resource", 0));

    const wxString path = wxFileName::CreateTempFileName("wk-anim") + ".png";
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    ASSERT_TRUE(Strip(20, 20, 3).ConvertToImage().SaveFile(path, wxBITMAP_TYPE_PNG));
    EXPECT_TRUE(anim->load(path, 0));
    EXPECT_EQ(anim->frameCount(), 3u);
    EXPECT_EQ(CentreColour(anim->frame(2)), kFrameColours[2]);
    wxRemoveFile(path);
    wxRemoveFile(path.BeforeLast('.'));

    const wxString broken = wxFileName::CreateTempFileName("wk-anim");
    EXPECT_FALSE(anim->load(broken, 0)) << "an empty file is no image";
    wxRemoveFile(broken);
}

} // namespace
