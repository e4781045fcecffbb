// Answers for the modal dialogs the console shows, recording what they said.
#ifndef OPSDESK_TEST_GUI_SUPPORT_H
#define OPSDESK_TEST_GUI_SUPPORT_H

#include "wx_test.h"

#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>

#include <chrono>
#include <string>
#include <thread>

namespace test {

class AnswerMessage : public wxExpectModalBase<wxMessageDialog, AnswerMessage>
{
public:
    explicit AnswerMessage(int answer, wxString* message = nullptr, wxString* caption = nullptr, long* style = nullptr)
        : m_answer(answer)
        , m_message(message)
        , m_caption(caption)
        , m_style(style)
    {
    }

protected:
    int OnInvoked(wxMessageDialog* dialog) const override
    {
        if (m_message)
            *m_message = dialog->GetMessage();
        if (m_caption)
            *m_caption = dialog->GetCaption();
        if (m_style)
            *m_style = dialog->GetMessageDialogStyle();
        return m_answer;
    }

private:
    int m_answer;
    wxString* m_message;
    wxString* m_caption;
    long* m_style;
};

// Picks a file (none: Cancel), noting the dialog's title, starting folder
// and offered name.
class AnswerFile : public wxExpectModalBase<wxFileDialog, AnswerFile>
{
public:
    explicit AnswerFile(const std::string& utf8Path, wxString* title = nullptr, wxString* folder = nullptr,
                        wxString* name = nullptr)
        : m_path(wxString::FromUTF8(utf8Path))
        , m_title(title)
        , m_folder(folder)
        , m_name(name)
    {
    }

protected:
    int OnInvoked(wxFileDialog* dialog) const override
    {
        if (m_title)
            *m_title = dialog->GetMessage();
        if (m_folder)
            *m_folder = dialog->GetDirectory();
        if (m_name)
            *m_name = dialog->GetFilename();
        if (m_path.empty())
            return wxID_CANCEL;
        dialog->SetPath(m_path);
        // GTK takes the path over in its own time: one yield is not always enough.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (dialog->GetPath() != m_path && std::chrono::steady_clock::now() < deadline) {
            wxTheApp->Yield(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return wxID_OK;
    }

private:
    wxString m_path;
    wxString* m_title;
    wxString* m_folder;
    wxString* m_name;
};

} // namespace test

#endif
