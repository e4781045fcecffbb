#include <widgetkit/inifile.h>

#include "intl.h"

#include <basekit.h>

#include <wx/debug.h>
#include <wx/strconv.h>

namespace {

// Runtime names are limited to 255 bytes (a 256-byte buffer with its NUL).
constexpr size_t kNameBuffer = 256;

// A name in UTF-8, cut to fit the runtime's buffer. The cut never splits a
// character, so that the runtime is never handed a broken UTF-8 sequence.
std::string NameToUtf8(const wxString& name, const char* condition)
{
    // The condition names the caller's argument, so it is passed on as text.
    if (name.Len() >= kNameBuffer && wxTheAssertHandler)
        wxOnAssert(__FILE__, __LINE__, __func__, condition, "name too long for an INI file");
    std::string utf8(name.utf8_str().data());
    if (utf8.size() >= kNameBuffer) {
        size_t cut = kNameBuffer - 1;
        while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
            --cut;
        utf8.resize(cut);
    }
    return utf8;
}

std::string Section(const wxString& section)
{
    return NameToUtf8(section, "section.Len () < 256");
}

std::string Key(const wxString& key)
{
    return NameToUtf8(key, "key.Len () < 256");
}

std::string Utf8(const wxString& text)
{
    return std::string(text.utf8_str().data());
}

wxString FromUtf8(const char* text)
{
    return text ? wxString::FromUTF8(text) : wxString();
}

// Runtime messages are UTF-8 here; bytes that are not (a message built from
// some other encoding) are still shown rather than lost.
wxString DecodeMessage(const char* text)
{
    if (!text || !*text)
        return wxString();
    wxString decoded = wxString::FromUTF8(text);
    if (decoded.empty())
        decoded = wxString(text, wxConvISO8859_1);
    return decoded;
}

struct StringFree
{
    void operator()(char* s) const { ux_free_if_not_null(s); }
};

} // namespace

wxIniFile::wxIniFile(wxFontEncoding)
    : m_handle(inifile_new(), inifile_delete)
{
}

wxIniFile::wxIniFile(const wxString& path, wxFontEncoding)
    : m_handle(inifile_new(), inifile_delete)
{
    Open(path);
}

wxIniFile::wxIniFile(const wxIniFile& other) = default;

wxIniFile& wxIniFile::operator=(const wxIniFile& other) = default;

wxIniFile::~wxIniFile() = default;

void wxIniFile::setCaseSensitive(bool flag)
{
    inifile_set_case_sensitive(m_handle.get(), flag ? 1 : 0);
}

bool wxIniFile::Open(const wxString& path)
{
    uxerror_t* error = nullptr;
    if (inifile_open(m_handle.get(), Utf8(path).c_str(), &error) == 0)
        return true;
    HandleError(error);
    if (error)
        uxerror_free(error);
    return false;
}

bool wxIniFile::Save(const wxString& path)
{
    // The local multibyte encoding is UTF-8 on this platform; asking the C
    // library's converter would lose every non-ASCII path under the C locale.
    uxerror_t* error = nullptr;
    if (inifile_save(m_handle.get(), Utf8(path).c_str(), &error) == 0)
        return true;
    HandleError(error);
    if (error)
        uxerror_free(error);
    return false;
}

void wxIniFile::Clear()
{
    inifile_clear(m_handle.get());
}

void wxIniFile::HandleError(uxerror* error)
{
    if (!error) {
        m_error = WK_("No error");
        return;
    }
    const wxString region = DecodeMessage(uxerror_region(error));
    const wxString message = DecodeMessage(uxerror_message(error));
    if (!region.empty())
        m_error = wxString::Format("%s: %s", region, message);
    else
        m_error = wxString::Format("%s", message);
}

void wxIniFile::WriteLong(const wxString& section, const wxString& key, long value)
{
    inifile_write_long(m_handle.get(), Section(section).c_str(), Key(key).c_str(), value);
}

void wxIniFile::WriteFloat(const wxString& section, const wxString& key, double value)
{
    inifile_write_float(m_handle.get(), Section(section).c_str(), Key(key).c_str(), value);
}

void wxIniFile::WriteString(const wxString& section, const wxString& key, const wxString& value)
{
    inifile_write_string(m_handle.get(), Section(section).c_str(), Key(key).c_str(), Utf8(value).c_str());
}

void wxIniFile::WriteBool(const wxString& section, const wxString& key, bool value)
{
    inifile_write_long(m_handle.get(), Section(section).c_str(), Key(key).c_str(), value ? 1 : 0);
}

long wxIniFile::ReadLong(const wxString& section, const wxString& key, long def) const
{
    return inifile_read_long(m_handle.get(), Section(section).c_str(), Key(key).c_str(), def);
}

double wxIniFile::ReadFloat(const wxString& section, const wxString& key, double def) const
{
    return inifile_read_float(m_handle.get(), Section(section).c_str(), Key(key).c_str(), def);
}

bool wxIniFile::ReadBool(const wxString& section, const wxString& key, bool def) const
{
    return inifile_read_long(m_handle.get(), Section(section).c_str(), Key(key).c_str(), def ? 1 : 0) != 0;
}

wxString wxIniFile::ReadString(const wxString& section, const wxString& key, const wxString& def)
{
    std::unique_ptr<char, StringFree> defCopy(ux_strdup(Utf8(def).c_str()));
    const char* text = inifile_read_string(m_handle.get(), Section(section).c_str(), Key(key).c_str(), defCopy.get());
    if (!text || !*text)
        return wxString();
    wxString value = wxString::FromUTF8(text);
    if (value.empty())
        value = wxString(text, wxConvISO8859_1);
    return value;
}

bool wxIniFile::HasSection(const wxString& section) const
{
    return inifile_has_section(m_handle.get(), Section(section).c_str()) != 0;
}

bool wxIniFile::HasKey(const wxString& section, const wxString& key) const
{
    return inifile_has_key(m_handle.get(), Section(section).c_str(), Key(key).c_str()) != 0;
}

int wxIniFile::GetSectionCount()
{
    return inifile_get_section_count(m_handle.get());
}

wxString wxIniFile::GetNthSection(int index)
{
    return FromUtf8(inifile_get_section_by_index(m_handle.get(), index));
}

int wxIniFile::GetKeyCount(const wxString& section)
{
    return inifile_get_key_count(m_handle.get(), Section(section).c_str());
}

wxString wxIniFile::GetNthKey(const wxString& section, int index)
{
    return FromUtf8(inifile_get_key_by_index(m_handle.get(), Section(section).c_str(), index));
}

void wxIniFile::RemoveSection(const wxString& section)
{
    inifile_remove_section(m_handle.get(), Section(section).c_str());
}

bool wxIniFile::RemoveKey(const wxString& section, const wxString& key)
{
    return inifile_remove_key(m_handle.get(), Section(section).c_str(), Key(key).c_str()) != 0;
}

void wxIniFile::RenameSection(const wxString& old, const wxString& newname)
{
    const std::string from = NameToUtf8(old, "old.Len () < 256");
    const std::string to = NameToUtf8(newname, "newname.Len () < 256");
    inifile_rename_section(m_handle.get(), from.c_str(), to.c_str());
}

void wxIniFile::CopySection(const wxString& section, wxIniFile& target)
{
    if (target.m_handle == m_handle)
        return;
    inifile_copy_section(m_handle.get(), Section(section).c_str(), target.m_handle.get());
}

void wxIniFile::RegisterSection(const wxString& section)
{
    inifile_register_section(m_handle.get(), Section(section).c_str());
}
