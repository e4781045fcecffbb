// The notification's fade-in as colour steps, without a window.
#include <widgetkit/notification.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(NotificationFade, SixBlendedShadesThenTheEndColour)
{
    NotificationFade fade;
    EXPECT_EQ(fade.GetIntervalMs(), 100);
    const wxColour from(240, 240, 240);
    const wxColour to(255, 255, 200);
    fade.Start(from, to);
    EXPECT_EQ(fade.GetProgress(), 0.0);

    std::vector<wxColour> shades;
    wxColour colour;
    while (fade.Step(colour)) {
        shades.push_back(colour);
        ASSERT_LT(shades.size(), 10u) << "the fade does not end";
    }
    // Six steps of 1/6 sum to just below 1, so the sixth is still a blend.
    ASSERT_EQ(shades.size(), 6u);
    EXPECT_GE(fade.GetProgress(), 1.0);
    EXPECT_EQ(colour, to);

    // 240 + 15 * progress and 240 - 40 * progress, truncated; the sixth
    // progress, 0.9999999999999999, still rounds to the end in the sum.
    const int reds[] = {242, 245, 247, 250, 252, 255};
    const int blues[] = {233, 226, 220, 213, 206, 200};
    for (size_t k = 0; k < shades.size(); ++k) {
        EXPECT_EQ(shades[k].Red(), reds[k]) << k;
        EXPECT_EQ(shades[k].Green(), reds[k]) << k;
        EXPECT_EQ(shades[k].Blue(), blues[k]) << k;
        EXPECT_EQ(shades[k].Alpha(), 255) << k;
    }
}

TEST(NotificationFade, BlendTruncatesEachChannel)
{
    EXPECT_EQ(NotificationFade::Blend(wxColour(0, 100, 255), wxColour(255, 0, 0), 0.5), wxColour(127, 50, 127));
    EXPECT_EQ(NotificationFade::Blend(wxColour(10, 20, 30), wxColour(200, 100, 0), 0.0), wxColour(10, 20, 30));
    EXPECT_EQ(NotificationFade::Blend(wxColour(0, 0, 0), wxColour(9, 9, 9), 0.99), wxColour(8, 8, 8));
}

TEST(NotificationFade, RestartsFromTheBeginningAndFollowsOtherRates)
{
    NotificationFade fast(20.0, 0.1);
    EXPECT_EQ(fast.GetIntervalMs(), 50);
    fast.Start(wxColour(0, 0, 0), wxColour(100, 100, 100));
    wxColour colour;
    EXPECT_TRUE(fast.Step(colour));
    EXPECT_EQ(colour, wxColour(50, 50, 50));
    EXPECT_FALSE(fast.Step(colour));
    EXPECT_EQ(colour, wxColour(100, 100, 100));

    fast.Start(wxColour(100, 100, 100), wxColour(0, 0, 0));
    EXPECT_EQ(fast.GetProgress(), 0.0);
    EXPECT_TRUE(fast.Step(colour));
    EXPECT_EQ(colour, wxColour(50, 50, 50));
}

} // namespace
