#include "file_support.h"

#include <widgetkit/inifile.h>

#include <basekit.h>

#include <gtest/gtest.h>

#include <wx/debug.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using wktest::AssertRecorder;
using wktest::ReadBytes;
using wktest::WriteBytes;

struct TempDir : wktest::TempDir
{
    TempDir() : wktest::TempDir("wk-ini") {}
};

class IniWithErrors : public wxIniFile
{
public:
    using wxIniFile::HandleError;
};

TEST(IniFile, ValuesSurviveSaveAndOpen)
{
    TempDir dir;
    const wxString path = dir.File("gui.ini");
    {
        wxIniFile ini;
        ini.WriteLong("opsdesk", "x", -120);
        ini.WriteFloat("opsdesk", "scale", 1.25);
        ini.WriteString("opsdesk", "title", wxString::FromUTF8("R\xC3\xA4ksm\xC3\xB6rg\xC3\xA5s \xE2\x82\xAC"));
        ini.WriteBool("opsdesk", "maximized", true);
        ini.Write("other", "count", 7L);
        ini.Write("other", "name", wxString("seven"));
        ASSERT_TRUE(ini.Save(path)) << ini.GetError();
    }
    wxIniFile ini(path);
    EXPECT_TRUE(ini.GetError().empty());
    EXPECT_EQ(ini.ReadLong("opsdesk", "x", 0), -120);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("opsdesk", "scale", 0.0), 1.25);
    EXPECT_EQ(ini.ReadString("opsdesk", "title", ""),
              wxString::FromUTF8("R\xC3\xA4ksm\xC3\xB6rg\xC3\xA5s \xE2\x82\xAC"));
    EXPECT_TRUE(ini.ReadBool("opsdesk", "maximized", false));
    EXPECT_EQ(ini.Read("other", "count", 0L), 7);
    EXPECT_EQ(ini.Read("other", "name", wxString("none")), "seven");
    EXPECT_EQ(ini.Read("other", "missing", wxString("none")), "none");
    EXPECT_EQ(ini.ReadLong("nowhere", "x", 42), 42);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("nowhere", "x", 2.5), 2.5);
}

TEST(IniFile, ReadStringFallsBackToLatin1)
{
    TempDir dir;
    const std::string file = dir.Path("latin1.ini");
    wxIniFile ini;
    ini.WriteString("s", "k", "PLACEHOLDER");
    ASSERT_TRUE(ini.Save(wxString::FromUTF8(file)));
    std::string bytes = ReadBytes(file);
    const size_t at = bytes.find("PLACEHOLDER");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 11, "G\xF6teborg \xE5r");
    WriteBytes(file, bytes);

    ASSERT_TRUE(ini.Open(wxString::FromUTF8(file))) << ini.GetError();
    EXPECT_EQ(ini.ReadString("s", "k", ""), wxString::FromUTF8("G\xC3\xB6teborg \xC3\xA5r"));
}

TEST(IniFile, EmptyValueIsNotTheDefault)
{
    wxIniFile ini;
    ini.WriteString("s", "empty", "");
    EXPECT_TRUE(ini.HasKey("s", "empty"));
    EXPECT_EQ(ini.ReadString("s", "empty", "default"), "");
    EXPECT_EQ(ini.ReadString("s", "absent", "default"), "default");
    EXPECT_EQ(ini.ReadString("s", "absent", ""), "");
}

TEST(IniFile, BoolsAreLongs)
{
    wxIniFile ini;
    ini.WriteLong("s", "five", 5);
    ini.WriteLong("s", "zero", 0);
    EXPECT_TRUE(ini.ReadBool("s", "five", false));
    EXPECT_FALSE(ini.ReadBool("s", "zero", true));
    EXPECT_TRUE(ini.ReadBool("s", "absent", true));
    EXPECT_FALSE(ini.ReadBool("s", "absent", false));
    ini.WriteBool("s", "on", true);
    ini.WriteBool("s", "off", false);
    EXPECT_EQ(ini.ReadLong("s", "on", -1), 1);
    EXPECT_EQ(ini.ReadLong("s", "off", -1), 0);
}

TEST(IniFile, ErrorTexts)
{
    IniWithErrors ini;
    EXPECT_TRUE(ini.GetError().empty());

    uxerror_t* located = uxerror_new("gui.ini:3", "section header not closed");
    ini.HandleError(located);
    uxerror_free(located);
    EXPECT_EQ(ini.GetError(), "gui.ini:3: section header not closed");

    uxerror_t* bare = uxerror_new("", "disk full");
    ini.HandleError(bare);
    uxerror_free(bare);
    EXPECT_EQ(ini.GetError(), "disk full");

    uxerror_t* utf8 = uxerror_new("", "f\xC3\xB6rbjuden");
    ini.HandleError(utf8);
    uxerror_free(utf8);
    EXPECT_EQ(ini.GetError(), wxString::FromUTF8("f\xC3\xB6rbjuden"));

    ini.HandleError(nullptr);
    EXPECT_EQ(ini.GetError(), "No error");
}

// What the runtime itself reports for the same failure, formatted as the
// wrapper must show it.
wxString ExpectedOpenError(const std::string& path)
{
    inifile_t* h = inifile_new();
    uxerror_t* error = nullptr;
    EXPECT_NE(inifile_open(h, path.c_str(), &error), 0);
    wxString text;
    if (error) {
        const wxString region = wxString::FromUTF8(uxerror_region(error));
        const wxString message = wxString::FromUTF8(uxerror_message(error));
        text = region.empty() ? message : region + ": " + message;
        uxerror_free(error);
    }
    inifile_delete(h);
    return text;
}

TEST(IniFile, OpenAndSaveFailuresKeepTheReason)
{
    TempDir dir;
    const std::string missing = dir.Path("missing.ini");
    wxIniFile ini;
    EXPECT_FALSE(ini.Open(wxString::FromUTF8(missing)));
    EXPECT_FALSE(ini.GetError().empty());
    EXPECT_EQ(ini.GetError(), ExpectedOpenError(missing));

    wxIniFile opened{wxString::FromUTF8(missing)};
    EXPECT_EQ(opened.GetError(), ExpectedOpenError(missing));

    EXPECT_FALSE(ini.Save(dir.File("no-such-folder/gui.ini")));
    EXPECT_FALSE(ini.GetError().empty());
}

TEST(IniFile, LongNamesAreCutWithAnAssertion)
{
    wxIniFile ini;
    const wxString longName(wxUniChar('s'), 300);
    const wxString cut(wxUniChar('s'), 255);
    {
        AssertRecorder asserts;
        ini.WriteLong(longName, "k", 1);
        ASSERT_EQ(asserts.Conditions().size(), 1u);
        EXPECT_EQ(asserts.Conditions()[0], "section.Len () < 256");
    }
    EXPECT_TRUE(ini.HasSection(cut));
    EXPECT_EQ(ini.ReadLong(cut, "k", 0), 1);
    {
        AssertRecorder asserts;
        ini.WriteLong("s", wxString(wxUniChar('k'), 256), 2);
        ASSERT_EQ(asserts.Conditions().size(), 1u);
        EXPECT_EQ(asserts.Conditions()[0], "key.Len () < 256");
    }
    EXPECT_EQ(ini.ReadLong("s", wxString(wxUniChar('k'), 255), 0), 2);
    {
        AssertRecorder asserts;
        ini.RenameSection(longName, wxString(wxUniChar('n'), 256));
        ASSERT_EQ(asserts.Conditions().size(), 2u);
        EXPECT_EQ(asserts.Conditions()[0], "old.Len () < 256");
        EXPECT_EQ(asserts.Conditions()[1], "newname.Len () < 256");
    }
    EXPECT_TRUE(ini.HasSection(wxString(wxUniChar('n'), 255)));
    {
        AssertRecorder asserts;
        ini.WriteLong(wxString(wxUniChar('x'), 255), "k", 3);
        EXPECT_TRUE(asserts.Conditions().empty());
    }
}

TEST(IniFile, MultibyteNamesAreCutBetweenCharacters)
{
    // 200 characters need 400 bytes: no assertion, but the cut must not leave
    // half a character behind.
    const wxString name(wxUniChar(0x00E9), 200);
    wxIniFile ini;
    {
        AssertRecorder asserts;
        ini.WriteLong(name, "k", 1);
        EXPECT_TRUE(asserts.Conditions().empty());
    }
    ASSERT_EQ(ini.GetSectionCount() > 0, true);
    wxString stored;
    for (int i = 0; i < ini.GetSectionCount(); ++i)
        if (!ini.GetNthSection(i).empty())
            stored = ini.GetNthSection(i);
    EXPECT_EQ(stored, wxString(wxUniChar(0x00E9), 127));
}

TEST(IniFile, SectionsAndKeys)
{
    wxIniFile ini;
    const wxString strom = wxString::FromUTF8("Str\xC3\xB6m");
    ini.WriteLong(strom, wxString::FromUTF8("sp\xC3\xA4nning"), 230);
    ini.WriteLong(strom, "frekvens", 50);
    ini.RegisterSection("tom");

    EXPECT_TRUE(ini.HasSection(strom));
    EXPECT_TRUE(ini.HasSection("tom"));
    EXPECT_FALSE(ini.HasSection("saknas"));
    EXPECT_TRUE(ini.HasKey(strom, "frekvens"));
    EXPECT_FALSE(ini.HasKey(strom, "saknas"));

    std::vector<wxString> sections;
    for (int i = 0; i < ini.GetSectionCount(); ++i)
        sections.push_back(ini.GetNthSection(i));
    EXPECT_NE(std::find(sections.begin(), sections.end(), strom), sections.end());
    EXPECT_NE(std::find(sections.begin(), sections.end(), "tom"), sections.end());
    ASSERT_EQ(ini.GetKeyCount(strom), 2);
    EXPECT_EQ(ini.GetNthKey(strom, 0), wxString::FromUTF8("sp\xC3\xA4nning"));
    EXPECT_EQ(ini.GetNthKey(strom, 1), "frekvens");
    EXPECT_EQ(ini.GetKeyCount("tom"), 0);

    EXPECT_TRUE(ini.RemoveKey(strom, "frekvens"));
    EXPECT_FALSE(ini.RemoveKey(strom, "frekvens"));
    EXPECT_EQ(ini.GetKeyCount(strom), 1);

    ini.RenameSection(strom, "ny");
    EXPECT_FALSE(ini.HasSection(strom));
    EXPECT_EQ(ini.ReadLong("ny", wxString::FromUTF8("sp\xC3\xA4nning"), 0), 230);

    wxIniFile other;
    ini.CopySection("ny", other);
    EXPECT_EQ(other.ReadLong("ny", wxString::FromUTF8("sp\xC3\xA4nning"), 0), 230);
    // Copying into the same handle leaves the section as it was.
    ini.CopySection("ny", ini);
    EXPECT_EQ(ini.GetKeyCount("ny"), 1);

    ini.RemoveSection("ny");
    EXPECT_FALSE(ini.HasSection("ny"));
    ini.Clear();
    EXPECT_FALSE(ini.HasSection("tom"));
}

TEST(IniFile, CopiesShareTheHandleSafely)
{
    wxIniFile original;
    original.WriteLong("s", "k", 1);
    {
        wxIniFile copy(original);
        EXPECT_EQ(copy.ReadLong("s", "k", 0), 1);
        copy.WriteLong("s", "k", 2);
    }
    // The copy is gone; the handle must still be alive for the original.
    EXPECT_EQ(original.ReadLong("s", "k", 0), 2);

    wxIniFile assigned;
    assigned.WriteLong("t", "k", 9);
    assigned = original;
    EXPECT_EQ(assigned.ReadLong("s", "k", 0), 2);
    EXPECT_FALSE(assigned.HasSection("t"));
    const wxIniFile& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.ReadLong("s", "k", 0), 2);
}

} // namespace
