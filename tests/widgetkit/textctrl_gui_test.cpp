#include <widgetkit/textctrl.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/uiaction.h>

#include <chrono>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

namespace {

class TextCtrlTest : public ::testing::Test
{
protected:
    void SetUp() override { m_panel = new wxPanel(m_frame); }
    void TearDown() override { delete m_frame; }

    uxTextCtrl* Make(uxTextCtrlType type, const wxString& text = wxEmptyString, wxWindowID id = wxID_ANY)
    {
        return new uxTextCtrl(m_panel, id, text, wxDefaultPosition, wxDefaultSize, type);
    }

    // The edit check runs on the control's text event, as for typing.
    static void Edit(uxTextCtrl* ctrl, const wxString& text)
    {
        ctrl->SetValue(text);
        WxTestYield();
    }

    // Flag and colour agree: yellow exactly when invalid.
    static void ExpectShown(uxTextCtrl* ctrl, bool valid)
    {
        EXPECT_EQ(ctrl->IsValid(), valid) << ctrl->GetValue();
        EXPECT_EQ(ctrl->GetBackgroundColour() == wxColour(255, 255, 0, 255), !valid) << ctrl->GetValue();
    }

    wxFrame* m_frame = new wxFrame(nullptr, wxID_ANY, "typed text");
    wxPanel* m_panel = nullptr;
};

TEST_F(TextCtrlTest, EditsAreCheckedAndShownYellow)
{
    uxTextCtrl* percent = Make(uxTEXTCTRL_LONG, "50");
    percent->SetRange(0, 100);
    uxTextCtrl* date = Make(uxTEXTCTRL_DATE);
    uxTextCtrl* time = Make(uxTEXTCTRL_TIME);
    uxTextCtrl* plain = Make(uxTEXTCTRL_TEXT);
    EXPECT_TRUE(percent->IsValid());
    // The text event goes on past the check, up to the parents.
    int textEvents = 0;
    m_frame->Bind(wxEVT_TEXT, [&textEvents](wxCommandEvent&) { ++textEvents; });

    const struct
    {
        uxTextCtrl* ctrl;
        const char* text;
        bool valid;
    } steps[] = {
        {percent, "101", false},    {percent, "100", true},   {percent, "", false},  {percent, "0", true},
        {date, "2023-2-29", false}, {date, "2024-2-29", true}, {time, "24:01", false}, {time, "24:00", true},
        {plain, "####", true},
    };
    for (const auto& s : steps) {
        Edit(s.ctrl, s.text);
        ExpectShown(s.ctrl, s.valid);
    }
    EXPECT_EQ(percent->GetBackgroundColour(), *wxWHITE);
    EXPECT_GE(textEvents, static_cast<int>(std::size(steps)));
}

TEST_F(TextCtrlTest, SetOperationsDecideTheFlagAndItsColour)
{
    uxTextCtrl* time = Make(uxTEXTCTRL_TIME);
    time->SetTime(24, 30);
    EXPECT_EQ(time->GetText(), "24:30");
    ExpectShown(time, false);
    time->SetTime(7, 5);
    EXPECT_EQ(time->GetText(), "07:05");
    ExpectShown(time, true);

    uxTextCtrl* date = Make(uxTEXTCTRL_DATE);
    date->SetDate(2023, 2, 29);
    EXPECT_EQ(date->GetText(), "2023-02-29");
    ExpectShown(date, false);
    date->SetDate(2024, 2, 29);
    ExpectShown(date, true);
    EXPECT_EQ(date->GetDateTime(), wxDateTime(29, wxDateTime::Feb, 2024));

    const wxDateTime moment(5, wxDateTime::Jun, 2024, 9, 7);
    date->SetDateTime(moment);
    EXPECT_EQ(date->GetText(), "2024-06-05");
    time->SetDateTime(moment);
    EXPECT_EQ(time->GetText(), "09:07");
    EXPECT_EQ(time->GetDateTime().GetHour(), 9);

    // A time put into a whole-number control is declared valid: its colour
    // must say so, and stay right through the next valid edit.
    uxTextCtrl* number = Make(uxTEXTCTRL_LONG);
    number->SetDateTime(moment);
    ExpectShown(number, true);
    Edit(number, "42");
    ExpectShown(number, true);

    for (uxTextCtrl* ctrl : {number, Make(uxTEXTCTRL_TEXT)}) {
        ctrl->SetNoValue();
        EXPECT_EQ(ctrl->GetText(), "####");
        EXPECT_FALSE(ctrl->IsAltered());
        ExpectShown(ctrl, false);
    }
    // An invalid date-time has no text of its own.
    date->SetDateTime(wxInvalidDateTime);
    EXPECT_EQ(date->GetText(), "####");
    ExpectShown(date, false);
    EXPECT_FALSE(date->GetDateTime().IsValid());
}

TEST_F(TextCtrlTest, NumbersAndAlteredAgainstTheReferenceText)
{
    uxTextCtrl* number = Make(uxTEXTCTRL_LONG, "7");
    EXPECT_FALSE(number->IsAltered());
    number->SetLong(5);
    EXPECT_FALSE(number->IsAltered());
    Edit(number, "05");
    EXPECT_TRUE(number->IsAltered());
    EXPECT_EQ(number->GetLong(), 5);
    Edit(number, "5");
    EXPECT_FALSE(number->IsAltered());
    Edit(number, "five");
    EXPECT_EQ(number->GetLong(), 0);

    uxTextCtrl* text = Make(uxTEXTCTRL_TEXT);
    text->SetText("abc");
    Edit(text, "ABC");
    EXPECT_TRUE(text->IsAltered());

    uxTextCtrl* real = Make(uxTEXTCTRL_DOUBLE);
    real->SetDouble(1.5);
    EXPECT_EQ(real->GetText(), "1.5");
    EXPECT_EQ(real->GetDouble(), 1.5);
    real->SetText("nan");
    ExpectShown(real, false);
    EXPECT_EQ(real->GetDouble(), 0);
    EXPECT_FALSE(real->IsAltered());
}

// Real input: the window system must deliver it, so wait for its effect.
bool WaitFor(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        WxTestYield();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST_F(TextCtrlTest, TypingAndFocusReachingTheParent)
{
    uxTextCtrl* first = Make(uxTEXTCTRL_LONG, "50", 101);
    uxTextCtrl* second = Make(uxTEXTCTRL_TIME, "", 102);
    first->SetRange(0, 100);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(first, 0, wxALL, 10);
    sizer->Add(second, 0, wxALL, 10);
    m_panel->SetSizer(sizer);
    m_frame->SetSize(300, 200);
    m_frame->Show();
    m_frame->Raise();
    // The focus changes reach the frame as command events.
    std::vector<std::pair<wxEventType, int>> seen;
    auto record = [&seen](wxCommandEvent& e) {
        EXPECT_EQ(e.GetEventObject(), wxWindow::FindWindowById(e.GetId()));
        seen.emplace_back(e.GetEventType(), e.GetId());
    };
    m_frame->Bind(wxEVT_COMMAND_SET_FOCUS, record);
    m_frame->Bind(wxEVT_COMMAND_KILL_FOCUS, record);
    ASSERT_TRUE(WaitFor([&] { return m_frame->IsShownOnScreen(); }));

    // Focus moves through the toolkit: without a window manager the X
    // server does not give focus on a click.
    first->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return wxWindow::FindFocus() == first; }));
    wxUIActionSimulator input;
    first->SetInsertionPointEnd();
    input.Char('5');
    ASSERT_TRUE(WaitFor([&] { return first->GetValue() == "505"; }));
    ExpectShown(first, false);
    EXPECT_TRUE(first->IsAltered());
    input.Char(WXK_BACK);
    ASSERT_TRUE(WaitFor([&] { return first->GetValue() == "50"; }));
    ExpectShown(first, true);
    EXPECT_FALSE(first->IsAltered());

    second->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return wxWindow::FindFocus() == second; }));
    input.Text("7:60");
    ASSERT_TRUE(WaitFor([&] { return second->GetValue() == "7:60"; }));
    ExpectShown(second, false);
    const std::vector<std::pair<wxEventType, int>> expected{
        {wxEVT_COMMAND_SET_FOCUS, 101}, {wxEVT_COMMAND_KILL_FOCUS, 101}, {wxEVT_COMMAND_SET_FOCUS, 102}};
    ASSERT_TRUE(WaitFor([&] { return seen.size() >= expected.size(); }));
    EXPECT_EQ(seen, expected);
}

} // namespace
