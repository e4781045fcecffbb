// Answers for the modal dialogs the console shows, recording what they said.
#ifndef OPSDESK_TEST_GUI_SUPPORT_H
#define OPSDESK_TEST_GUI_SUPPORT_H

#include "wx_test.h"

#include <wx/msgdlg.h>

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

} // namespace test

#endif
