#include <widgetkit/functions.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/stattext.h>

#include <vector>

namespace {

// Rows and columns of a white canvas that text was drawn on.
class Canvas
{
public:
    Canvas(int width, int height)
        : m_bitmap(width, height, 24),
          m_dc(m_bitmap)
    {
        m_dc.SetBackground(*wxWHITE_BRUSH);
        m_dc.Clear();
        m_dc.SetTextForeground(*wxBLACK);
        m_dc.SetFont(*wxNORMAL_FONT);
    }

    wxDC& DC() { return m_dc; }

    // Top rows of the inked blocks, a block being rows with ink separated by
    // blank rows.
    std::vector<int> BlockTops()
    {
        const wxImage image = Image();
        std::vector<int> tops;
        bool previous = false;
        for (int y = 0; y < image.GetHeight(); ++y) {
            const bool ink = RowHasInk(image, y, 0, image.GetWidth());
            if (ink && !previous)
                tops.push_back(y);
            previous = ink;
        }
        return tops;
    }

    // Leftmost inked column within rows [top, bottom).
    int LeftInk(int top, int bottom)
    {
        const wxImage image = Image();
        for (int x = 0; x < image.GetWidth(); ++x)
            for (int y = top; y < bottom; ++y)
                if (Dark(image, x, y))
                    return x;
        return -1;
    }

private:
    wxImage Image()
    {
        m_dc.SelectObject(wxNullBitmap);
        wxImage image = m_bitmap.ConvertToImage();
        m_dc.SelectObject(m_bitmap);
        return image;
    }
    static bool Dark(const wxImage& image, int x, int y) { return image.GetRed(x, y) < 128; }
    static bool RowHasInk(const wxImage& image, int y, int from, int to)
    {
        for (int x = from; x < to; ++x)
            if (Dark(image, x, y))
                return true;
        return false;
    }

    wxBitmap m_bitmap;
    wxMemoryDC m_dc;
};

TEST(DrawText, EmptyLinesAreDroppedAndLinesAreOneLineHeightApart)
{
    Canvas canvas(200, 200);
    const int lineHeight = canvas.DC().GetTextExtent("X").y;
    ASSERT_GT(lineHeight, 0);
    wx_dc_draw_text(canvas.DC(), "X\n\nX", 10, 20);
    const std::vector<int> tops = canvas.BlockTops();
    ASSERT_EQ(tops.size(), 2u);
    EXPECT_EQ(tops[1] - tops[0], lineHeight);
    EXPECT_GE(tops[0], 20);
    EXPECT_LT(tops[0], 20 + lineHeight);
}

TEST(DrawText, LinesStartAtXOrAreCentred)
{
    const wxString text = "XXXXXXXX\nX";
    {
        Canvas canvas(300, 100);
        wx_dc_draw_text(canvas.DC(), text, 30, 10);
        const int lineHeight = canvas.DC().GetTextExtent("X").y;
        EXPECT_EQ(canvas.LeftInk(10 + lineHeight, 10 + 2 * lineHeight), canvas.LeftInk(10, 10 + lineHeight));
    }
    for (int flag : {wxALIGN_CENTER_HORIZONTAL, wxALIGN_CENTER_VERTICAL}) {
        Canvas canvas(300, 100);
        wx_dc_draw_text(canvas.DC(), text, 30, 10, flag);
        const int lineHeight = canvas.DC().GetTextExtent("X").y;
        const int shift = (canvas.DC().GetTextExtent("XXXXXXXX").x - canvas.DC().GetTextExtent("X").x) / 2;
        const int first = canvas.LeftInk(10, 10 + lineHeight);
        const int second = canvas.LeftInk(10 + lineHeight, 10 + 2 * lineHeight);
        ASSERT_GE(first, 30);
        EXPECT_NEAR(second - first, shift, 1) << "flag " << flag;
    }
}

TEST(DrawText, NothingToDraw)
{
    Canvas canvas(50, 50);
    wx_dc_draw_text(canvas.DC(), "\n\n", 0, 0);
    wx_dc_draw_text(canvas.DC(), "", 0, 0, wxALIGN_CENTER_HORIZONTAL);
    EXPECT_TRUE(canvas.BlockTops().empty());
}

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override { m_frame = new wxFrame(nullptr, wxID_ANY, "functions"); }
    void TearDown() override { delete m_frame; }

    wxFrame* m_frame = nullptr;
};

TEST_F(WindowTest, SizeToFitText)
{
    auto* label = new wxStaticText(m_frame, wxID_ANY, "label");
    const wxSize x12 = label->GetTextExtent("XXXXXXXXXXXX");
    EXPECT_EQ(wx_size_to_fit_text(label, 12, 3), wxSize(x12.x, 3 * x12.y));
    EXPECT_EQ(wx_size_to_fit_text(label, -1, 2), wxSize(-1, 2 * x12.y));
    EXPECT_EQ(wx_size_to_fit_text(label, 12, -1), wxSize(x12.x, -1));
    EXPECT_EQ(wx_size_to_fit_text(label, 0, 1).y, x12.y);
}

TEST_F(WindowTest, MakeBold)
{
    auto* label = new wxStaticText(m_frame, wxID_ANY, "label");
    const double size = label->GetFont().GetFractionalPointSize();
    wx_make_bold(label);
    EXPECT_EQ(label->GetFont().GetNumericWeight(), 700);
    EXPECT_DOUBLE_EQ(label->GetFont().GetFractionalPointSize(), size);
}

} // namespace
