// Scratch folders, whole-file reads and writes, and a recorder of the
// toolkit's assertions, shared by the file-format tests.
#ifndef WIDGETKIT_TEST_FILE_SUPPORT_H
#define WIDGETKIT_TEST_FILE_SUPPORT_H

#include <wx/debug.h>
#include <wx/string.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace wktest {

class TempDir
{
public:
    // prefix names the folder, e.g. "wk-xml".
    explicit TempDir(const char* prefix)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        m_path = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string Path(const char* name) const { return (m_path / name).string(); }
    wxString File(const char* name) const { return wxString::FromUTF8(Path(name)); }
    size_t Count() const
    {
        return std::distance(std::filesystem::directory_iterator(m_path), std::filesystem::directory_iterator());
    }

private:
    std::filesystem::path m_path;
};

inline std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Records the toolkit's assertions instead of letting them stop the test.
class AssertRecorder
{
public:
    AssertRecorder()
    {
        s_conditions.clear();
        m_previous = wxSetAssertHandler(&AssertRecorder::Record);
    }
    ~AssertRecorder() { wxSetAssertHandler(m_previous); }
    const std::vector<wxString>& Conditions() const { return s_conditions; }
    // The conditions so far, joined by "|", and forgotten.
    wxString Take()
    {
        wxString all;
        for (const auto& c : s_conditions)
            all += (all.empty() ? "" : "|") + c;
        s_conditions.clear();
        return all;
    }

private:
    static void Record(const wxString&, int, const wxString&, const wxString& cond, const wxString&)
    {
        s_conditions.push_back(cond);
    }
    static inline std::vector<wxString> s_conditions;
    wxAssertHandler_t m_previous;
};

} // namespace wktest

#endif
