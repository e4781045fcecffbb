// The user administration on the real core: the list, Add, Remove, Edit,
// the local-connection switch, and passwords that stay hashed in the core.
#include "userdlg.h"

#include "dialog_answers.h"
#include "gui_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/listbox.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using test::AnswerMessage;
using test::PickRow;
using test::RowIds;
using test::Rows;

// Answers a modal dialog of type T with whatever the code does to it.
template <typename T>
class Drive : public wxExpectModalBase<T, Drive<T>>
{
public:
    explicit Drive(std::function<int(T*)> code)
        : m_code(std::move(code))
    {
    }

protected:
    int OnInvoked(T* dialog) const override { return m_code(dialog); }

private:
    std::function<int(T*)> m_code;
};

template <typename Code>
void WithoutDialog(Code code)
{
    PlexordTestingModalHook hook(__FILE__, __LINE__, "WithoutDialog");
    code();
    hook.CheckUnmetExpectations();
}

void Click(wxWindow* dialog, int id)
{
    wxWindow* button = dialog->FindWindow(id);
    if (!button)
        throw WxTestFailure(wxString::Format("no control %d", id));
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(button);
    button->ProcessWindowEvent(click);
}

void Toggle(wxCheckBox* box, bool on)
{
    box->SetValue(on);
    wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
    event.SetEventObject(box);
    event.SetInt(on ? 1 : 0);
    box->ProcessWindowEvent(event);
}

struct StoredUser
{
    std::string name, password, read, write;
};

StoredUser Stored(uint16_t id)
{
    user_t* user = usermanager_fetch_user(id, 0);
    if (!user)
        return {"(none)", "", "", ""};
    StoredUser s{user_get_name(user), user_get_password(user), user_get_read_access(user),
                 user_get_write_access(user)};
    usermanager_drop_user(user);
    return s;
}

bool LogsIn(uint16_t id, const char* password)
{
    user_t* user = usermanager_fetch_user(id, 0);
    const bool ok = user && user_check_password(user, password);
    usermanager_drop_user(user);
    return ok;
}

uint16_t AddCoreUser(const char* name, const char* password)
{
    user_t* user = user_new();
    user_set_name(user, name);
    user_set_password(user, password);
    const uint16_t id = user_get_id(user);
    usermanager_add_user(user);
    return id;
}

// The texts an edit dialog showed when it opened.
struct Shown
{
    wxString name, password1, password2, read, write;
};

Shown ShownBy(UserEditDlg* d)
{
    return {d->GetNameCtrl()->GetValue(), d->GetPassword1Ctrl()->GetValue(), d->GetPassword2Ctrl()->GetValue(),
            d->GetReadAccessCtrl()->GetValue(), d->GetWriteAccessCtrl()->GetValue()};
}

class UserDlgTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        delete dialog;
        core.Finish();
    }

    test::TempDir config;
    test::CoreRun core{config.path()};
    UserDlg* dialog = nullptr;
};

TEST_F(UserDlgTest, ListAddRemoveEditAndLocalSwitch)
{
    plexord_allow_local_challenge(1);
    const uint16_t alice = AddCoreUser("alice", "secret");
    const uint16_t bob = AddCoreUser("bob", "hunter2");

    // The menu's entry runs the list modally and deletes it after.
    std::vector<wxString> offered;
    bool ticked = false;
    wxTEST_DIALOG(RunUserAdministration(nullptr), Drive<UserDlg>([&](UserDlg* d) {
                      offered = Rows(d->GetUserList());
                      ticked = d->GetLocalChallengeCtrl()->GetValue();
                      return 1;
                  }));
    EXPECT_EQ(offered, (std::vector<wxString>{"alice", "bob"}));
    EXPECT_TRUE(ticked);
    for (wxWindow* window : wxTopLevelWindows)
        EXPECT_EQ(dynamic_cast<UserDlg*>(window), nullptr);

    dialog = new UserDlg(nullptr);
    dialog->Show();
    wxListBox* list = dialog->GetUserList();
    EXPECT_EQ(dialog->GetTitle(), "Users");
    EXPECT_EQ(RowIds(list), (std::vector<unsigned>{alice, bob}));
    const std::vector<std::pair<int, wxString>> labels{{0, "Add"}, {1, "Remove"}, {2, "Edit"}, {3, "OK"}};
    for (const auto& [id, label] : labels) {
        auto* button = dynamic_cast<wxButton*>(dialog->FindWindow(id));
        ASSERT_NE(button, nullptr) << id;
        EXPECT_EQ(button->GetLabel(), label);
    }
    EXPECT_EQ(dialog->FindWindow(5), dialog->GetLocalChallengeCtrl());

    // Each change of the switch reaches the core.
    Toggle(dialog->GetLocalChallengeCtrl(), false);
    EXPECT_EQ(plexord_local_challenge_is_allowed(), 0);
    Toggle(dialog->GetLocalChallengeCtrl(), true);
    EXPECT_EQ(plexord_local_challenge_is_allowed(), 1);
    plexord_allow_local_challenge(0);
    {
        UserDlg other(nullptr);
        EXPECT_FALSE(other.GetLocalChallengeCtrl()->GetValue());
    }

    // Without a selection Remove and Edit do nothing.
    list->SetSelection(wxNOT_FOUND);
    WithoutDialog([&] {
        Click(dialog, UserDlg::ID_EDIT);
        Click(dialog, UserDlg::ID_REMOVE);
    });
    EXPECT_EQ(usermanager_get_user_count(), 2);

    // A cancelled add leaves no user behind.
    Shown fresh;
    uint16_t ghost = 0;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_ADD), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      fresh = ShownBy(d);
                      ghost = d->GetUserId();
                      d->GetNameCtrl()->SetValue("ghost");
                      return 0;
                  }));
    EXPECT_EQ(usermanager_get_user_count(), 2);
    EXPECT_EQ(usermanager_fetch_user(ghost, 0), nullptr);
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"alice", "bob"}));
    EXPECT_EQ(fresh.name + fresh.password1 + fresh.password2 + fresh.read + fresh.write, "");

    // An add with OK stores the texts; the password only as a hash.
    uint16_t asa = 0;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_ADD), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      asa = d->GetUserId();
                      d->GetNameCtrl()->SetValue(wxString::FromUTF8("Åsa"));
                      d->GetPassword1Ctrl()->SetValue("pw1");
                      d->GetPassword2Ctrl()->SetValue("pw1");
                      d->GetReadAccessCtrl()->SetValue("Boiler,Pump*");
                      d->GetWriteAccessCtrl()->SetValue("Boiler");
                      return d->ApplySettings() ? 1 : -1;
                  }));
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"alice", "bob", wxString::FromUTF8("Åsa")}));
    StoredUser stored = Stored(asa);
    EXPECT_EQ(stored.name, "Åsa");
    EXPECT_EQ(stored.read, "Boiler,Pump*");
    EXPECT_EQ(stored.write, "Boiler");
    EXPECT_EQ(stored.password.rfind("$argon2", 0), 0u) << stored.password;
    EXPECT_TRUE(LogsIn(asa, "pw1"));

    // Rows are rewritten in place: the selected index stays.
    PickRow(list, 1);
    usermanager_remove_user(alice);
    dialog->UpdateList();
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"bob", wxString::FromUTF8("Åsa")}));
    EXPECT_EQ(RowIds(list), (std::vector<unsigned>{bob, asa}));
    EXPECT_EQ(list->GetSelection(), 1);

    // Changing only the name keeps the password: the edit dialog hands the
    // stored hash back.
    PickRow(list, 0);
    const std::string bobHash = Stored(bob).password;
    Shown before;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      before = ShownBy(d);
                      d->GetNameCtrl()->SetValue("bobby");
                      return d->ApplySettings() ? 1 : -1;
                  }));
    EXPECT_EQ(before.name, "bob");
    EXPECT_EQ(before.password1, wxString::FromUTF8(bobHash));
    EXPECT_EQ(before.password2, wxString::FromUTF8(bobHash));
    EXPECT_EQ(Rows(list)[0], "bobby");
    EXPECT_EQ(Stored(bob).password, bobHash);
    EXPECT_TRUE(LogsIn(bob, "hunter2"));

    // A new password works, the old one no longer.
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      d->GetPassword1Ctrl()->SetValue("n3w");
                      d->GetPassword2Ctrl()->SetValue("n3w");
                      return d->ApplySettings() ? 1 : -1;
                  }));
    EXPECT_TRUE(LogsIn(bob, "n3w"));
    EXPECT_FALSE(LogsIn(bob, "hunter2"));

    // Passwords that differ (in case only) are refused and nothing is stored.
    wxString message;
    bool applied = true;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      d->GetNameCtrl()->SetValue("mallory");
                      d->GetPassword1Ctrl()->SetValue("abc");
                      d->GetPassword2Ctrl()->SetValue("ABC");
                      applied = d->ApplySettings();
                      return 0;
                  }),
                  AnswerMessage(wxID_OK, &message));
    EXPECT_FALSE(applied);
    EXPECT_EQ(message, "Passwords do not match");
    EXPECT_EQ(Stored(bob).name, "bobby");
    EXPECT_TRUE(LogsIn(bob, "n3w"));

    // Removing down to the last user leaves an empty list, quietly.
    WithoutDialog([&] {
        while (list->GetCount() > 0) {
            PickRow(list, 0);
            Click(dialog, UserDlg::ID_REMOVE);
        }
    });
    EXPECT_EQ(usermanager_get_user_count(), 0);
    EXPECT_EQ(list->GetCount(), 0u);
}

TEST_F(UserDlgTest, EditDialogButtonsAndAUserGoneMeanwhile)
{
    const uint16_t carl = AddCoreUser("carl", "pw");

    UserEditDlg edit(nullptr, carl);
    EXPECT_EQ(edit.GetTitle(), "User information");
    EXPECT_TRUE(edit.IsLoaded());
    edit.GetNameCtrl()->SetValue("karl");
    EXPECT_EQ(WxTestShowModalClicking(edit, UserEditDlg::ID_CANCEL), 0);
    EXPECT_EQ(Stored(carl).name, "carl");
    EXPECT_EQ(WxTestShowModalClicking(edit, UserEditDlg::ID_OK), 1);
    EXPECT_EQ(Stored(carl).name, "karl");
    EXPECT_TRUE(LogsIn(carl, "pw"));

    // OK for a user removed meanwhile says so and keeps the dialog open.
    usermanager_remove_user(carl);
    wxString message;
    bool applied = true;
    wxTEST_DIALOG(applied = edit.ApplySettings(), AnswerMessage(wxID_OK, &message));
    EXPECT_FALSE(applied);
    EXPECT_NE(message.Find("no longer exists"), wxNOT_FOUND) << message;

    // An edit of a user that is gone opens nothing and drops its row.
    dialog = new UserDlg(nullptr);
    const uint16_t dora = AddCoreUser("dora", "pw");
    dialog->UpdateList();
    usermanager_remove_user(dora);
    PickRow(dialog->GetUserList(), 0);
    WithoutDialog([&] { Click(dialog, UserDlg::ID_EDIT); });
    EXPECT_EQ(dialog->GetUserList()->GetCount(), 0u);
}

} // namespace
