#include <widgetkit/crashdlg.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/debugrpt.h>
#include <wx/filename.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace {

wxWindow* Named(wxWindow* parent, const char* name)
{
    wxWindow* window = wxWindow::FindWindowByName(name, parent);
    EXPECT_NE(window, nullptr) << name;
    return window;
}

TEST(CrashReportDialog, ShowsNameAddressAndPicture)
{
    CrashReportDialog dlg("Plexord", "crash@example.org");
    EXPECT_EQ(dlg.GetTitle(), "Crash report");
    EXPECT_EQ(dlg.GetParent(), nullptr);
    EXPECT_EQ(dlg.GetAppName(), "Plexord");
    EXPECT_EQ(dlg.GetAddress(), "crash@example.org");

    auto* heading = dynamic_cast<wxStaticText*>(Named(&dlg, "heading"));
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->GetLabelText(), "Plexord has crashed!");
    auto* remove = dynamic_cast<wxStaticText*>(Named(&dlg, "remove"));
    ASSERT_NE(remove, nullptr);
    EXPECT_GT(heading->GetBestSize().y, remove->GetBestSize().y) << "larger than the text";
    auto* thanks = dynamic_cast<wxStaticText*>(Named(&dlg, "thanks"));
    ASSERT_NE(thanks, nullptr);
    EXPECT_GT(thanks->GetBestSize().x, thanks->GetTextExtent(thanks->GetLabelText()).x) << "bold";

    auto* picture = dynamic_cast<wxStaticBitmap*>(Named(&dlg, "picture"));
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->GetBitmap().GetSize(), wxSize(150, 150));
    EXPECT_TRUE(picture->GetBitmap().IsOk());

    EXPECT_FALSE(Named(&dlg, "files")->IsShown()) << "no file list before a report";
    EXPECT_TRUE(dlg.GetFileList().empty());
    // The message is wrapped at 400 pixels.
    EXPECT_EQ(Named(&dlg, "message")->GetSize().x, 400);
    EXPECT_NE(dlg.FindWindow(wxID_CLOSE), nullptr);
    EXPECT_NE(Named(&dlg, "debug"), nullptr);
}

TEST(CrashReportDialog, ListsTheReportFiles)
{
    wxDebugReport report;
    ASSERT_TRUE(report.IsOk());
    ASSERT_TRUE(report.AddText("crash.txt", "what happened", "description"));
    ASSERT_TRUE(report.AddText("context & more.xml", "<crash/>", "context"));

    CrashReportDialog dlg("Plexord", "crash@example.org");
    const wxSize before = dlg.GetSize();
    dlg.SetDebugReport(report);

    const wxString dir = report.GetDirectory();
    EXPECT_EQ(dlg.GetFileList(), "<tt>" + wxFileName(dir, "crash.txt").GetFullPath() + "</tt>\n" + "<tt>" +
                                     wxFileName(dir, "context & more.xml").GetFullPath() + "</tt>\n");
    wxWindow* files = Named(&dlg, "files");
    EXPECT_TRUE(files->IsShown());
    EXPECT_GT(files->GetSize().y, 0);
    EXPECT_GT(dlg.GetSize().y, before.y) << "the dialog grows to show the list";
}

TEST(CrashReportDialog, EmptyReportKeepsTheListHidden)
{
    wxDebugReport report;
    CrashReportDialog dlg("Plexord", "crash@example.org");
    dlg.SetDebugReport(report);
    EXPECT_TRUE(dlg.GetFileList().empty());
    EXPECT_FALSE(Named(&dlg, "files")->IsShown());
}

TEST(CrashReportDialog, CloseButtonEndsWithCloseId)
{
    CrashReportDialog dlg("Plexord", "crash@example.org");
    EXPECT_EQ(WxTestShowModalClicking(dlg, wxID_CLOSE), wxID_CLOSE);
}

TEST(CrashReportDialogDeathTest, DebugAbortsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CrashReportDialog dlg("Plexord", "crash@example.org");
            wxWindow* debug = wxWindow::FindWindowByName("debug", &dlg);
            wxCommandEvent click(wxEVT_BUTTON, debug->GetId());
            click.SetEventObject(debug);
            debug->ProcessWindowEvent(click);
        },
        "");
}

} // namespace

// The console's crash handler shows the dialog modally; under test the hook
// presses Close in its place.
template <>
class wxExpectModal<CrashReportDialog> : public wxExpectModalBase<CrashReportDialog>
{
protected:
    int OnInvoked(CrashReportDialog* dlg) const override
    {
        wxWindow* close = dlg->FindWindow(wxID_CLOSE);
        wxCommandEvent click(wxEVT_BUTTON, wxID_CLOSE);
        click.SetEventObject(close);
        close->ProcessWindowEvent(click);
        return dlg->GetReturnCode();
    }
};

namespace {

int ShowCrashReport()
{
    CrashReportDialog dlg("Plexord", "crash@example.org");
    return dlg.ShowModal();
}

void ShowCrashReportExpectingAMessageBox()
{
    wxTEST_DIALOG(ShowCrashReport(), wxExpectModal<wxMessageDialog>(wxYES));
}

TEST(CrashReportDialog, ModalUnderTheTestHook)
{
    int result = 0;
    wxTEST_DIALOG(result = ShowCrashReport(), wxExpectModal<CrashReportDialog>());
    EXPECT_EQ(result, wxID_CLOSE);
    // A dialog nobody expected fails the test instead of waiting for a click.
    EXPECT_THROW(ShowCrashReportExpectingAMessageBox(), WxTestFailure);
}

} // namespace
