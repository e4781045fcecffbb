// The notification panel and the dialog that carries it, on Xvfb.
#include <widgetkit/notification.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

bool WaitFor(const std::function<bool()>& pred, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        WxTestYield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class NotificationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dialog = new wxDialogWithNotification(nullptr, wxID_ANY, "notification", wxDefaultPosition, wxDefaultSize,
                                              wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
        content = new wxStaticText(dialog, wxID_ANY, "Content");
        dialog->GetTopSizer()->Add(content, 1, wxEXPAND | wxALL, 10);
        dialog->GetTopSizer()->SetSizeHints(dialog);
        dialog->Show();
        WxTestYield();
    }
    void TearDown() override { dialog->Destroy(); }

    NotificationPanel* Panel() { return dialog->GetNotification(); }

    wxDialogWithNotification* dialog = nullptr;
    wxStaticText* content = nullptr;
};

TEST_F(NotificationTest, StartsHiddenAboveTheContent)
{
    EXPECT_FALSE(dialog->IsNotificationShown());
    EXPECT_FALSE(dialog->GetTopSizer()->IsShown(Panel()));
    EXPECT_EQ(dialog->GetTopSizer()->GetItem(size_t(0))->GetWindow(), Panel());
    EXPECT_EQ(Panel()->GetIconClient(), wxART_MESSAGE_BOX);
    EXPECT_EQ(Panel()->GetLabel(), "");

    // Hiding what is not shown changes nothing.
    const wxSize size = dialog->GetSize();
    const wxSize minimum = dialog->GetMinSize();
    dialog->HideNotification();
    EXPECT_EQ(dialog->GetSize(), size);
    EXPECT_EQ(dialog->GetMinSize(), minimum);
    EXPECT_FALSE(dialog->IsNotificationShown());
}

TEST_F(NotificationTest, ShowGrowsTheDialogAndFadesOnce)
{
    const wxSize before = dialog->GetSize();
    const wxString text = "A message rather longer than the content below it, so the dialog must grow";
    dialog->ShowNotification(text, wxART_ERROR);
    EXPECT_TRUE(dialog->IsNotificationShown());
    EXPECT_TRUE(dialog->GetTopSizer()->IsShown(Panel()));
    EXPECT_EQ(Panel()->GetLabel(), text);
    EXPECT_TRUE(Panel()->IsIconShown());
    EXPECT_EQ(Panel()->GetFadeCount(), 1);
    EXPECT_TRUE(Panel()->IsFading());
    EXPECT_EQ(Panel()->GetBackgroundColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));

    const wxSize after = dialog->GetSize();
    EXPECT_GT(after.x, before.x);
    EXPECT_GT(after.y, before.y);
    EXPECT_GE(after.x, dialog->GetMinSize().x);
    EXPECT_GE(after.y, dialog->GetMinSize().y);
    // The content stays below the strip.
    WxTestYield();
    EXPECT_GE(content->GetPosition().y, Panel()->GetPosition().y + Panel()->GetSize().y);

    // A second show only changes the text.
    dialog->ShowNotification("Second", wxART_WARNING);
    EXPECT_EQ(Panel()->GetFadeCount(), 1);
    EXPECT_EQ(Panel()->GetLabel(), "Second");

    // Seven ticks of 100 ms end at the tooltip colour.
    ASSERT_TRUE(WaitFor([&] { return !Panel()->IsFading(); }, 3000));
    EXPECT_EQ(Panel()->GetBackgroundColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_INFOBK));

    // Hidden, the dialog keeps its size but may shrink again.
    const wxSize shown = dialog->GetSize();
    dialog->HideNotification();
    EXPECT_FALSE(dialog->IsNotificationShown());
    EXPECT_FALSE(dialog->GetTopSizer()->IsShown(Panel()));
    EXPECT_EQ(dialog->GetSize(), shown);
    EXPECT_LT(dialog->GetMinSize().y, shown.y);

    // Shown again after hiding, it fades again.
    dialog->ShowNotification();
    EXPECT_EQ(Panel()->GetFadeCount(), 2);
}

TEST_F(NotificationTest, CloseButtonHidesLikeHideNotification)
{
    dialog->ShowNotification("Closable", wxART_INFORMATION);
    ASSERT_TRUE(Panel()->IsCloseButtonShown());
    wxCommandEvent click(wxEVT_BUTTON, wxID_CLOSE);
    click.SetEventObject(Panel()->GetCloseButton());
    Panel()->GetCloseButton()->GetEventHandler()->ProcessEvent(click);
    EXPECT_FALSE(dialog->IsNotificationShown());
    EXPECT_FALSE(dialog->GetTopSizer()->IsShown(Panel()));
}

TEST_F(NotificationTest, CloseButtonAndIconLeaveTheLayout)
{
    dialog->ShowNotification("Without a close button", wxART_INFORMATION);
    WxTestYield();
    const wxPoint labelAt = Panel()->GetChildren()[1]->GetPosition();
    Panel()->ShowCloseButton(false);
    EXPECT_FALSE(Panel()->IsCloseButtonShown());
    EXPECT_TRUE(Panel()->IsIconShown());
    EXPECT_EQ(Panel()->GetChildren()[1]->GetPosition(), labelAt);
    EXPECT_EQ(Panel()->GetLabel(), "Without a close button");

    Panel()->HideIcon();
    EXPECT_FALSE(Panel()->IsIconShown());
    EXPECT_LT(Panel()->GetChildren()[1]->GetPosition().x, labelAt.x);

    // The art client chooses the size of later icons.
    Panel()->SetIconSize(wxART_TOOLBAR);
    Panel()->SetIcon(wxART_ERROR);
    EXPECT_TRUE(Panel()->IsIconShown());
    EXPECT_EQ(Panel()->GetIconClient(), wxART_TOOLBAR);
}

} // namespace
