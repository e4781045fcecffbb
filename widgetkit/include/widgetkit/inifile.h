// wxIniFile: INI files through the common runtime, with toolkit strings.
#ifndef WIDGETKIT_INIFILE_H
#define WIDGETKIT_INIFILE_H

#include <widgetkit/export.h>

#include <wx/font.h>
#include <wx/string.h>

#include <memory>

struct inifile;
struct uxerror;

class WIDGETKIT_API wxIniFile
{
public:
    explicit wxIniFile(wxFontEncoding encoding = wxFONTENCODING_ISO8859_1);
    explicit wxIniFile(const wxString& path, wxFontEncoding encoding = wxFONTENCODING_ISO8859_1);
    // Copies share the runtime handle (with a count): a change through one
    // copy is seen through the others, and the handle is released once.
    wxIniFile(const wxIniFile& other);
    wxIniFile& operator=(const wxIniFile& other);
    ~wxIniFile();

    void setCaseSensitive(bool flag);

    bool Open(const wxString& path);
    bool Save(const wxString& path);
    void Clear();
    wxString GetError() const { return m_error; }

    void WriteLong(const wxString& section, const wxString& key, long value);
    void WriteFloat(const wxString& section, const wxString& key, double value);
    void WriteString(const wxString& section, const wxString& key, const wxString& value);
    void WriteBool(const wxString& section, const wxString& key, bool value);

    long ReadLong(const wxString& section, const wxString& key, long def) const;
    double ReadFloat(const wxString& section, const wxString& key, double def) const;
    bool ReadBool(const wxString& section, const wxString& key, bool def) const;
    wxString ReadString(const wxString& section, const wxString& key, const wxString& def);

    void Write(const wxString& section, const wxString& key, long value) { WriteLong(section, key, value); }
    void Write(const wxString& section, const wxString& key, const wxString& value)
    {
        WriteString(section, key, value);
    }
    long Read(const wxString& section, const wxString& key, long def) const { return ReadLong(section, key, def); }
    // Without it a call on a non-const object would be ambiguous between the
    // const long form and the non-const string form.
    long Read(const wxString& section, const wxString& key, long def) { return ReadLong(section, key, def); }
    wxString Read(const wxString& section, const wxString& key, const wxString& def)
    {
        return ReadString(section, key, def);
    }

    bool HasSection(const wxString& section) const;
    bool HasKey(const wxString& section, const wxString& key) const;
    int GetSectionCount();
    wxString GetNthSection(int index);
    int GetKeyCount(const wxString& section);
    wxString GetNthKey(const wxString& section, int index);

    void RemoveSection(const wxString& section);
    bool RemoveKey(const wxString& section, const wxString& key);
    void RenameSection(const wxString& old, const wxString& newname);
    void CopySection(const wxString& section, wxIniFile& target);
    void RegisterSection(const wxString& section);

protected:
    // Turns a runtime error record (or none) into the text of GetError.
    void HandleError(uxerror* error);

private:

    std::shared_ptr<inifile> m_handle;
    wxString m_error;
};

#endif
