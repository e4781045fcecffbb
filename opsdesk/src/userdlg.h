// User administration: the users that remote clients log in as, listed and
// edited directly in the core's user manager.
#ifndef OPSDESK_USERDLG_H
#define OPSDESK_USERDLG_H

#include <wx/dialog.h>

class wxCheckBox;
class wxCommandEvent;
class wxListBox;
class wxTextCtrl;

// The "Users" menu entry: opens the user list modally and deletes it after.
void RunUserAdministration(wxWindow* parent);

// The list of users with Add, Remove, Edit and the switch that lets local
// connections in without a password.
class UserDlg : public wxDialog
{
public:
    // Fixed ids, so that the controls can be found and driven by them.
    enum
    {
        ID_ADD = 0,
        ID_REMOVE = 1,
        ID_EDIT = 2,
        ID_OK = 3,
        ID_LOCAL_CHALLENGE = 5
    };

    explicit UserDlg(wxWindow* parent);

    // Rewrites the list from the core row by row in place (names, user ids
    // as item data), so that the selected index stays where it was.
    void UpdateList();

    // The button actions, callable without clicking. Add keeps the new
    // user only when its edit dialog ends with OK; Remove and Edit do
    // nothing without a selection.
    void AddUser();
    void RemoveUser();
    void EditUser();

    wxListBox* GetUserList() const { return m_list; }
    wxCheckBox* GetLocalChallengeCtrl() const { return m_local; }

private:
    void OnButton(wxCommandEvent& event);
    void OnLocalChallenge(wxCommandEvent& event);

    wxListBox* m_list = nullptr;
    wxCheckBox* m_local = nullptr;
};

// One user's name, password and access texts. The password fields start
// with the stored hash: handed back unchanged, the core keeps the password.
class UserEditDlg : public wxDialog
{
public:
    enum
    {
        ID_OK = 3,
        ID_CANCEL = 4
    };

    // Ends with 1 after OK has stored the texts, 0 after Cancel, Escape or
    // the close box.
    UserEditDlg(wxWindow* parent, unsigned short userId);

    // False when the core did not know the user when the dialog opened.
    bool IsLoaded() const { return m_loaded; }
    unsigned short GetUserId() const { return m_id; }

    wxTextCtrl* GetNameCtrl() const { return m_name; }
    wxTextCtrl* GetPassword1Ctrl() const { return m_password1; }
    wxTextCtrl* GetPassword2Ctrl() const { return m_password2; }
    wxTextCtrl* GetReadAccessCtrl() const { return m_read; }
    wxTextCtrl* GetWriteAccessCtrl() const { return m_write; }

    // What OK does before ending with 1: checks that both passwords agree,
    // then stores the texts in the core. False when the dialog has to stay
    // open; a message box has told the operator why (differing passwords,
    // a user gone or in use, or a value the core refused, in its words).
    bool ApplySettings();

private:
    void Load();
    void OnOK(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);

    unsigned short m_id;
    bool m_loaded = false;
    wxTextCtrl* m_name = nullptr;
    wxTextCtrl* m_password1 = nullptr;
    wxTextCtrl* m_password2 = nullptr;
    wxTextCtrl* m_read = nullptr;
    wxTextCtrl* m_write = nullptr;
};

#endif
