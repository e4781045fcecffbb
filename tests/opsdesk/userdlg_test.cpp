// The user administration on the real core: list, Add, Remove, Edit, the
// local-connection switch, and passwords that stay hashed in the core.
#include "userdlg.h"

#include "dialog_answers.h"
#include "gui_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/listbox.h>
#include <wx/textctrl.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using test::AnswerMessage;
using test::PickRow;
using test::Rows;

// Answers a modal dialog of type T with whatever the code does to it.
template <typename T>
class Drive : public wxExpectModalBase<T, Drive<T>>
{
public:
    explicit Drive(std::function<int(T*)> code) : m_code(std::move(code)) {}

protected:
    int OnInvoked(T* dialog) const override { return m_code(dialog); }

private:
    std::function<int(T*)> m_code;
};

// Clicks the control with the id, or sets it when it is a check box.
void Click(wxWindow* dialog, int id, bool on = false)
{
    wxWindow* control = dialog->FindWindow(id);
    if (!control)
        throw WxTestFailure(wxString::Format("no control %d", id));
    auto* box = dynamic_cast<wxCheckBox*>(control);
    if (box)
        box->SetValue(on);
    wxCommandEvent event(box ? wxEVT_CHECKBOX : wxEVT_BUTTON, id);
    event.SetEventObject(control);
    event.SetInt(on);
    control->ProcessWindowEvent(event);
}

template <typename Code>
void WithoutDialog(Code code)
{
    PlexordTestingModalHook hook(__FILE__, __LINE__, "WithoutDialog");
    code();
    hook.CheckUnmetExpectations();
}

// Name, stored password text and access texts of a user; login check.
std::vector<std::string> Stored(uint16_t id)
{
    user_t* u = usermanager_fetch_user(id, 0);
    if (!u)
        return std::vector<std::string>(4);
    std::vector<std::string> s{user_get_name(u), user_get_password(u), user_get_read_access(u),
                               user_get_write_access(u)};
    usermanager_drop_user(u);
    return s;
}

bool LogsIn(uint16_t id, const char* password)
{
    user_t* u = usermanager_fetch_user(id, 0);
    const bool ok = u && user_check_password(u, password);
    usermanager_drop_user(u);
    return ok;
}

uint16_t AddCoreUser(const char* name, const char* password)
{
    user_t* u = user_new();
    user_set_name(u, name);
    user_set_password(u, password);
    usermanager_add_user(u);
    return user_get_id(u);
}

// An edit dialog answered by typing into its fields ("-" leaves one alone)
// and pressing OK; records what the dialog showed.
Drive<UserEditDlg> Edit(std::vector<wxString> typed, std::vector<wxString>* shown = nullptr, bool* applied = nullptr)
{
    return Drive<UserEditDlg>([=](UserEditDlg* d) {
        wxTextCtrl* fields[] = {d->GetNameCtrl(), d->GetPassword1Ctrl(), d->GetPassword2Ctrl(),
                                d->GetReadAccessCtrl(), d->GetWriteAccessCtrl()};
        for (size_t i = 0; i < 5; ++i) {
            if (shown)
                shown->push_back(fields[i]->GetValue());
            if (typed[i] != "-")
                fields[i]->SetValue(typed[i]);
        }
        const bool ok = d->ApplySettings();
        if (applied)
            *applied = ok;
        return ok ? 1 : 0;
    });
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

    std::vector<wxString> offered;
    wxTEST_DIALOG(RunUserAdministration(nullptr), Drive<UserDlg>([&](UserDlg* d) {
                      offered = Rows(d->GetUserList());
                      offered.push_back(d->GetLocalChallengeCtrl()->GetValue() ? "ticked" : "clear");
                      return 1;
                  }));
    EXPECT_EQ(offered, (std::vector<wxString>{"alice", "bob", "ticked"}));

    dialog = new UserDlg(nullptr);
    wxListBox* list = dialog->GetUserList();
    EXPECT_EQ(test::RowIds(list), (std::vector<unsigned>{alice, bob}));
    const char* labels[] = {"Add", "Remove", "Edit", "OK", nullptr, "Authorize all local connections"};
    for (int id : {0, 1, 2, 3, 5})
        EXPECT_EQ(dialog->FindWindow(id) ? dialog->FindWindow(id)->GetLabel() : "(none)", labels[id]);

    Click(dialog, UserDlg::ID_LOCAL_CHALLENGE, false);
    EXPECT_EQ(plexord_local_challenge_is_allowed(), 0);
    EXPECT_FALSE(UserDlg(nullptr).GetLocalChallengeCtrl()->GetValue());
    Click(dialog, UserDlg::ID_LOCAL_CHALLENGE, true);
    EXPECT_EQ(plexord_local_challenge_is_allowed(), 1);

    WithoutDialog([&] { // no selection: nothing happens
        Click(dialog, UserDlg::ID_EDIT);
        Click(dialog, UserDlg::ID_REMOVE);
    });
    EXPECT_EQ(usermanager_get_user_count(), 2);

    // A cancelled add leaves no user behind; a fresh user shows empty fields.
    std::vector<wxString> shown;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_ADD), Drive<UserEditDlg>([&](UserEditDlg* d) {
                      d->GetNameCtrl()->SetValue("ghost");
                      return 0;
                  }));
    EXPECT_EQ(usermanager_get_user_count(), 2);
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"alice", "bob"}));

    const wxString asaName = wxString::FromUTF8("Åsa");
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_ADD), Edit({asaName, "pw1", "pw1", "Boiler,Pump*", "Boiler"}, &shown));
    EXPECT_EQ(shown, std::vector<wxString>(5));
    ASSERT_EQ(Rows(list), (std::vector<wxString>{"alice", "bob", asaName}));
    const uint16_t asa = test::RowIds(list)[2];
    const auto stored = Stored(asa);
    EXPECT_EQ(stored, (std::vector<std::string>{"Åsa", stored[1], "Boiler,Pump*", "Boiler"}));
    EXPECT_EQ(stored[1].rfind("$argon2", 0), 0u) << stored[1];
    EXPECT_TRUE(LogsIn(asa, "pw1"));

    // Rows are rewritten in place: the selected index stays.
    PickRow(list, 1);
    usermanager_remove_user(alice);
    dialog->UpdateList();
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"bob", asaName}));
    EXPECT_EQ(list->GetSelection(), 1);

    // Only the name changed: the stored hash comes back and is kept.
    PickRow(list, 0);
    const std::string bobHash = Stored(bob)[1];
    shown.clear();
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Edit({"bobby", "-", "-", "-", "-"}, &shown));
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[1], bobHash);
    EXPECT_EQ(shown[2], bobHash);
    EXPECT_EQ(Rows(list)[0], "bobby");
    EXPECT_EQ(Stored(bob)[1], bobHash);
    EXPECT_TRUE(LogsIn(bob, "hunter2"));

    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Edit({"-", "n3w", "n3w", "-", "-"}));
    EXPECT_TRUE(LogsIn(bob, "n3w"));
    EXPECT_FALSE(LogsIn(bob, "hunter2"));

    // Passwords differing in case only: refused, nothing stored.
    wxString message;
    bool applied = true;
    wxTEST_DIALOG(Click(dialog, UserDlg::ID_EDIT), Edit({"mallory", "abc", "ABC", "-", "-"}, nullptr, &applied),
                  AnswerMessage(wxID_OK, &message));
    EXPECT_FALSE(applied);
    EXPECT_EQ(message, "Passwords do not match");
    EXPECT_EQ(Stored(bob)[0], "bobby");
    EXPECT_TRUE(LogsIn(bob, "n3w"));

    // Removing down to the last user: an empty list and no message.
    WithoutDialog([&] {
        for (int i = 0; i < 2; ++i) {
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
    edit.GetNameCtrl()->SetValue("karl");
    EXPECT_EQ(WxTestShowModalClicking(edit, UserEditDlg::ID_CANCEL), 0);
    EXPECT_EQ(Stored(carl)[0], "carl");
    EXPECT_EQ(WxTestShowModalClicking(edit, UserEditDlg::ID_OK), 1);
    EXPECT_EQ(Stored(carl)[0], "karl");
    EXPECT_TRUE(LogsIn(carl, "pw"));

    // OK for a user removed meanwhile says so and keeps the dialog open.
    usermanager_remove_user(carl);
    wxString message;
    bool applied = true;
    wxTEST_DIALOG(applied = edit.ApplySettings(), AnswerMessage(wxID_OK, &message));
    EXPECT_FALSE(applied);
    EXPECT_NE(message.Find("no longer exists"), wxNOT_FOUND) << message;
}

} // namespace
