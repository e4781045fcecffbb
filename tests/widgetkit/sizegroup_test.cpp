#include <widgetkit/sizegroup.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/stattext.h>

namespace {

class SizeGroupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "size group");
        m_short = new wxStaticText(m_frame, wxID_ANY, "Date:");
        m_wide = new wxStaticText(m_frame, wxID_ANY, "A much wider label");
        m_tall = new wxStaticText(m_frame, wxID_ANY, "Two\nlines");
        m_shortBest = m_short->GetBestSize();
        m_wideBest = m_wide->GetBestSize();
        m_tallBest = m_tall->GetBestSize();
        ASSERT_GT(m_wideBest.x, m_shortBest.x);
        ASSERT_GT(m_tallBest.y, m_shortBest.y);
    }
    void TearDown() override { delete m_frame; }

    void Group(uxSizeGroup::SizeGroupMode mode)
    {
        uxSizeGroup group(mode);
        group.Add(m_short);
        group.Add(m_wide);
        group.Add(m_tall);
        group.Resize();
    }

    wxFrame* m_frame = nullptr;
    wxStaticText* m_short = nullptr;
    wxStaticText* m_wide = nullptr;
    wxStaticText* m_tall = nullptr;
    wxSize m_shortBest, m_wideBest, m_tallBest;
};

TEST_F(SizeGroupTest, SameWidth)
{
    Group(uxSizeGroup::SameWidth);
    for (wxWindow* w : {static_cast<wxWindow*>(m_short), static_cast<wxWindow*>(m_wide), static_cast<wxWindow*>(m_tall)})
        EXPECT_EQ(w->GetMinSize(), wxSize(m_wideBest.x, -1));
    EXPECT_EQ(m_short->GetSize(), wxSize(m_wideBest.x, m_shortBest.y));
    EXPECT_EQ(m_tall->GetSize(), wxSize(m_wideBest.x, m_tallBest.y));
}

TEST_F(SizeGroupTest, SameHeightLeavesWidthsAlone)
{
    Group(uxSizeGroup::SameHeight);
    EXPECT_EQ(m_short->GetMinSize(), wxSize(-1, m_tallBest.y));
    EXPECT_EQ(m_short->GetSize(), wxSize(m_shortBest.x, m_tallBest.y));
    EXPECT_EQ(m_wide->GetSize(), wxSize(m_wideBest.x, m_tallBest.y));
    EXPECT_EQ(m_tall->GetSize(), m_tallBest);
}

TEST_F(SizeGroupTest, SameSizeAndEmptyGroup)
{
    Group(uxSizeGroup::SameSize);
    const wxSize largest(m_wideBest.x, m_tallBest.y);
    EXPECT_EQ(m_short->GetMinSize(), largest);
    EXPECT_EQ(m_wide->GetSize(), largest);

    uxSizeGroup empty(uxSizeGroup::SameSize);
    empty.Resize();
    EXPECT_EQ(m_short->GetMinSize(), largest);
}

} // namespace
