#include <widgetkit/aboutdlg.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace {

template <typename T>
T* Find(wxWindow* parent, const char* name)
{
    T* window = dynamic_cast<T*>(wxWindow::FindWindowByName(name, parent));
    EXPECT_NE(window, nullptr) << name;
    return window;
}

// Sets the library's start time for one test.
class StartTimeOverride
{
public:
    explicit StartTimeOverride(const wxDateTime& time)
        : m_saved(AboutDlg::start_time)
    {
        AboutDlg::start_time = time;
    }
    ~StartTimeOverride() { AboutDlg::start_time = m_saved; }

private:
    wxDateTime m_saved;
};

void Tick(wxWindow* window)
{
    wxTimer other;
    wxTimerEvent tick(other);
    window->ProcessWindowEvent(tick);
}

TEST(AboutDlg, StartsWithUptimeOnly)
{
    AboutDlg dlg(nullptr);
    EXPECT_EQ(dlg.GetTitle(), "");
    EXPECT_EQ(dlg.GetSize(), wxSize(400, 300));
    auto* uptime = Find<wxStaticText>(&dlg, "uptime");
    ASSERT_NE(uptime, nullptr);
    EXPECT_TRUE(uptime->IsShown());
    EXPECT_TRUE(uptime->GetLabel().StartsWith("Uptime: "));
    for (const char* hidden : {"header", "copyright", "extra_copyright", "build_info_heading", "build_info", "image"})
        EXPECT_FALSE(wxWindow::FindWindowByName(hidden, &dlg)->IsShown()) << hidden;
    auto* close = dynamic_cast<wxButton*>(dlg.FindWindow(wxID_CLOSE));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(dlg.GetDefaultItem(), close);
}

TEST(AboutDlg, UptimeFollowsTheTimer)
{
    AboutDlg dlg(nullptr);
    auto* uptime = Find<wxStaticText>(&dlg, "uptime");
    ASSERT_NE(uptime, nullptr);
    {
        StartTimeOverride started(wxDateTime::Now() - wxTimeSpan(2, 5, 30));
        Tick(&dlg);
        EXPECT_EQ(uptime->GetLabel(), "Uptime: 02 hours, 05 minutes");
    }
    {
        StartTimeOverride started(wxDateTime::Now() - wxTimeSpan::Days(8) - wxTimeSpan::Hours(3));
        Tick(&dlg);
        EXPECT_EQ(uptime->GetLabel(), "Uptime: 1 weeks, 1 days, 03 hours");
    }
}

TEST(AboutDlg, HeaderSetsTheTitle)
{
    AboutDlg dlg(nullptr);
    dlg.SetHeader("Plexord", "1.13.0");
    EXPECT_EQ(dlg.GetTitle(), "Plexord 1.13.0");
    auto* header = Find<wxStaticText>(&dlg, "header");
    ASSERT_NE(header, nullptr);
    EXPECT_TRUE(header->IsShown());
    EXPECT_EQ(header->GetLabelText(), "Plexord 1.13.0");
    // Big already when measured before the dialog is shown, so that a dialog
    // fitted then does not clip it.
    auto* uptime = Find<wxStaticText>(&dlg, "uptime");
    ASSERT_NE(uptime, nullptr);
    EXPECT_GT(header->GetBestSize().y, uptime->GetBestSize().y * 1.3);

    dlg.SetHeader("Plexord <Co>");
    EXPECT_EQ(dlg.GetTitle(), "Plexord <Co>");
    EXPECT_EQ(header->GetLabelText(), "Plexord <Co>");
}

TEST(AboutDlg, NoticesBuildInfoAndImage)
{
    AboutDlg dlg(nullptr);
    dlg.SetCopyright("Copyright (C) 2021 Acme & Co");
    dlg.SetExtraCopyright("Parts (C) Others");
    dlg.SetBuildInfo("Build date: Feb  3 2021, 22:27:03\nwxWidgets 3.2.2");
    wxBitmap logo(48, 48);
    dlg.SetImage(logo);
    dlg.SetHeader("Plexord");
    dlg.Fit();

    auto* copyright = Find<wxStaticText>(&dlg, "copyright");
    auto* extra = Find<wxStaticText>(&dlg, "extra_copyright");
    auto* heading = Find<wxStaticText>(&dlg, "build_info_heading");
    auto* info = Find<wxStaticText>(&dlg, "build_info");
    auto* image = Find<wxStaticBitmap>(&dlg, "image");
    auto* header = Find<wxStaticText>(&dlg, "header");
    auto* uptime = Find<wxStaticText>(&dlg, "uptime");
    ASSERT_TRUE(copyright && extra && heading && info && image && header && uptime);

    // Label text as given: "&" is no mnemonic, "(C)" is the sign.
    EXPECT_EQ(copyright->GetLabelText(), wxString::FromUTF8("Copyright \xC2\xA9 2021 Acme & Co"));
    EXPECT_EQ(extra->GetLabelText(), wxString::FromUTF8("Parts \xC2\xA9 Others"));
    EXPECT_TRUE(copyright->IsShown() && extra->IsShown() && heading->IsShown() && info->IsShown());
    EXPECT_EQ(heading->GetLabelText(), "Build info:");
    EXPECT_GT(heading->GetBestSize().x, heading->GetTextExtent("Build info:").x) << "bold";
    EXPECT_EQ(info->GetLabelText(), "Build date: Feb  3 2021, 22:27:03\nwxWidgets 3.2.2");
    EXPECT_TRUE(image->IsShown());
    EXPECT_EQ(image->GetBitmap().GetSize(), wxSize(48, 48));

    // Image at the left, then the lines from top to bottom.
    EXPECT_EQ(image->GetPosition().x, 12);
    EXPECT_GT(header->GetPosition().x, image->GetRect().GetRight());
    const wxWindow* order[] = {header, copyright, extra, uptime, heading, info};
    for (size_t i = 1; i < std::size(order); ++i)
        EXPECT_GT(order[i]->GetPosition().y, order[i - 1]->GetPosition().y) << order[i]->GetName();
}

TEST(AboutDlg, CloseButtonEndsWithCloseId)
{
    AboutDlg dlg(nullptr);
    EXPECT_EQ(WxTestShowModalClicking(dlg, wxID_CLOSE), wxID_CLOSE);
}

} // namespace
