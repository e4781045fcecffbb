// GoogleTest main for GUI tests: a real wxApp on the display given by the
// environment (Xvfb under CTest), with assertions turned into failures.
#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/timer.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>

namespace {

class TestApp : public wxApp
{
public:
    // The command line belongs to GoogleTest, not to wxApp's parser.
    bool OnInit() override { return true; }
};

void ThrowingAssertHandler(const wxString& file, int line, const wxString& func, const wxString& cond,
                           const wxString& msg)
{
    throw WxTestFailure(wxString::Format("wx assertion \"%s\" failed at %s:%d in %s(): %s", cond, file, line,
                                         func, msg));
}

} // namespace

void WxTestYield()
{
    wxTheApp->ProcessPendingEvents();
    wxTheApp->Yield(true);
}

int WxTestShowModalClicking(wxDialog& dialog, int buttonId)
{
    wxWindow* button = dialog.FindWindow(buttonId);
    if (!button)
        return wxID_NONE;
    dialog.CallAfter([button, buttonId] {
        wxCommandEvent click(wxEVT_BUTTON, buttonId);
        click.SetEventObject(button);
        button->ProcessWindowEvent(click);
    });
    wxTimer watchdog;
    watchdog.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) {
        if (dialog.IsModal())
            dialog.EndModal(wxID_ABORT);
    });
    watchdog.StartOnce(5000);
    return dialog.ShowModal();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest discovery) needs no display.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();

    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, " ! cannot start wxWidgets (is there a display?)\n");
        return 1;
    }
    if (!wxTheApp->CallOnInit()) {
        wxEntryCleanup();
        return 1;
    }
    wxSetAssertHandler(ThrowingAssertHandler);
    // Log messages go to standard error rather than into message boxes.
    delete wxLog::SetActiveTarget(new wxLogStderr);

    const int result = RUN_ALL_TESTS();

    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
