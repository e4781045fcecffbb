// The backup windows: BackupDialog chooses device, file and groups;
// RestoreWindow runs a backup, restore or compare against the device.
#ifndef OPSDESK_BACKUP_WINDOW_H
#define OPSDESK_BACKUP_WINDOW_H

#include "backup.h"

#include <wx/dialog.h>

#include <vector>

class wxButton;
class wxCheckBox;
class wxChoice;
class wxGauge;
class wxListCtrl;
class wxSizer;
class wxStaticText;

class RestoreWindow : public wxDialog
{
public:
    enum Mode
    {
        MODE_COMPARE = 0,
        MODE_RESTORE = 1,
        MODE_BACKUP = 2
    };
    // Setpoints per flush; the user interface is served between batches.
    static constexpr size_t kBatchSize = 8;

    RestoreWindow(wxWindow* parent, int mode, const std::string& defaultFlag);

    void SetDevice(unsigned short id) { m_deviceId = id; }
    // The group is read, and in backup mode filled, in place.
    void AddGroup(BackupGroup* group) { m_groups.push_back(group); }
    void SetGaugeRange(int range);

    // The run; it starts by itself at the first idle moment after the window
    // is shown. Does nothing when it has run before.
    void Run();
    // Cancel: the run stops before its next batch.
    void Abort();

    bool IsAborted() const { return m_aborted; }
    bool IsFinished() const { return m_finished; }
    int GetMode() const { return m_mode; }
    wxListCtrl* GetList() const { return m_list; }
    wxGauge* GetGauge() const { return m_gauge; }

private:
    void RunBatch(network_t* network, BackupGroup& group, size_t first, ncerr_t failure);
    void AddRow(const wxString& first, const wxString& second = {}, const wxString& third = {});
    void AddHeading(const wxString& name);
    void Advance();
    void Finish();
    wxString DisplayName(const BackupValue& value) const;
    const std::string& EffectiveFlag(const BackupValue& value) const;
    void OnIdle(wxIdleEvent& event);
    void OnCancel(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    int m_mode;
    std::string m_defaultFlag;
    unsigned short m_deviceId = 0;
    std::vector<BackupGroup*> m_groups;
    bool m_started = false;
    bool m_running = false;
    bool m_finished = false;
    bool m_aborted = false;
    wxGauge* m_gauge = nullptr;
    wxListCtrl* m_list = nullptr;
    wxButton* m_ok = nullptr;
    wxButton* m_cancel = nullptr;
};

class BackupDialog : public wxDialog
{
public:
    BackupDialog(wxWindow* parent, bool restore);

    bool IsRestore() const { return m_restore; }

    // Backup mode: selects the device and loads its hardware type's template.
    // False, after telling the operator why, when the device has no template
    // or it cannot be loaded.
    bool LoadTemplate(unsigned short deviceId);
    // Restore mode: loads the backup (telling the operator when it fails) and
    // rebuilds labels and group boxes. False when it failed.
    bool LoadBackup(const wxString& path);
    // Selects the device in the choice; the trailing empty entry when unknown.
    void SelectDevice(unsigned short deviceId);
    // The device of the choice; false for the empty entry or none.
    bool GetSelectedDevice(unsigned short* id) const;
    // The path the button shows; in restore mode LoadBackup sets it.
    void SetPath(const wxString& path);
    const wxString& GetPath() const { return m_path; }

    // After OK: runs the window on the checked groups and, in backup mode,
    // saves the file.
    void Run();
    // The mode the window runs in, from the dialog's mode and "Compare only".
    int GetRunMode() const;

    BackupData& GetData() { return m_data; }
    wxChoice* GetDeviceChoice() const { return m_device; }
    wxCheckBox* GetCompareOnly() const { return m_compareOnly; }
    wxButton* GetFileButton() const { return m_file; }
    const std::vector<wxCheckBox*>& GetGroupBoxes() const { return m_boxes; }
    wxStaticText* GetDeviceNameLabel() const { return m_deviceName; }
    wxStaticText* GetHardwareLabel() const { return m_hardware; }

private:
    void BuildGroupBoxes();
    void ClearGroups();
    // Backup mode: no template, no groups, OK disabled.
    void ClearTemplate();
    void UpdateOk();
    void OnDevice(wxCommandEvent& event);
    void OnFile(wxCommandEvent& event);
    void OnOk(wxCommandEvent& event);

    bool m_restore;
    // The template (backup mode) or the backup (restore mode) is loaded.
    bool m_loaded = false;
    BackupData m_data;
    wxString m_path;
    wxChoice* m_device = nullptr;
    wxCheckBox* m_compareOnly = nullptr;
    wxButton* m_file = nullptr;
    wxStaticText* m_deviceName = nullptr;
    wxStaticText* m_hardware = nullptr;
    wxSizer* m_groupSizer = nullptr;
    std::vector<wxCheckBox*> m_boxes;
};

// The device panel's "Make backup": the dialog for the device, shown only
// when its template loads; then the run and the save.
void OpenBackupDialog(wxWindow* parent, unsigned short deviceId);
// The device panel's "Restore from backup" once a file was chosen.
void OpenRestoreDialog(wxWindow* parent, unsigned short deviceId, const wxString& path);

#endif
