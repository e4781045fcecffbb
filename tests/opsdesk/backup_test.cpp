// Backup files without a window: load, save and the compare rule.
#include "backup.h"
#include "support.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

int LoadText(BackupData& data, const std::string& text)
{
    return data.LoadMemory(text.data(), text.size());
}

TEST(BackupLoad, ReadsRootGroupsAndSetpoints)
{
    BackupData data;
    data.error = "earlier";
    const int r = LoadText(data, std::string(kHeader) +
                                     "<!-- made by hand -->\n"
                                     "<plexord-backup device=\"Boiler\" hw=\"TC-200\" defaultflag=\"F\">\n"
                                     " <group name=\"Setpoints\">\n"
                                     "  <sp a=\"SP1\" v=\"65.5\"/>\n"
                                     "  <!-- inside a group -->\n"
                                     "  <sp a=\"V2010:B\"/>\n"
                                     "  <sp a=\"V2011:B\" f=\"R\" v=\"-2e3\" status=\"ignored\"/>\n"
                                     "  <sp a=\"X\" f=\"\"><note>skipped <b>entirely</b></note></sp>\n"
                                     " </group>\n"
                                     " <group/>\n"
                                     "</plexord-backup>\n");
    ASSERT_EQ(r, BACKUP_OK);
    EXPECT_EQ(data.error, "earlier"); // success leaves the error text alone
    EXPECT_EQ(data.device, "Boiler");
    EXPECT_EQ(data.hardware, "TC-200");
    EXPECT_EQ(data.defaultFlag, "F");
    ASSERT_EQ(data.groups.size(), 2u);
    const BackupGroup& g = data.groups[0];
    EXPECT_EQ(g.name, "Setpoints");
    EXPECT_TRUE(g.include);
    ASSERT_EQ(g.values.size(), 4u);
    EXPECT_EQ(g.values[0].address, "SP1");
    EXPECT_EQ(g.values[0].flag, "");
    EXPECT_TRUE(g.values[0].hasValue);
    EXPECT_DOUBLE_EQ(g.values[0].value, 65.5);
    EXPECT_TRUE(ncerr_is_ok(g.values[0].status));
    EXPECT_EQ(data.DisplayName(g.values[0]), "SP1:F");
    EXPECT_EQ(g.values[1].address, "V2010");
    EXPECT_EQ(g.values[1].flag, "B");
    EXPECT_FALSE(g.values[1].hasValue);
    EXPECT_EQ(g.values[2].address, "V2011");
    EXPECT_EQ(g.values[2].flag, "R");
    EXPECT_DOUBLE_EQ(g.values[2].value, -2000);
    EXPECT_TRUE(ncerr_is_ok(g.values[2].status));
    // An empty "f" replaces the flag, and the default flag then applies.
    EXPECT_EQ(g.values[3].address, "X");
    EXPECT_EQ(data.DisplayName(g.values[3]), "X:F");
    EXPECT_TRUE(data.groups[1].name.empty());
    EXPECT_TRUE(data.groups[1].values.empty());
}

TEST(BackupLoad, AddressSplitsAtTheLastColon)
{
    BackupData data;
    ASSERT_EQ(LoadText(data, "<plexord-backup><group><sp a=\"a:b:c\"/><sp a=\"d:\"/></group></plexord-backup>"),
              BACKUP_OK);
    EXPECT_EQ(data.groups[0].values[0].address, "a:b");
    EXPECT_EQ(data.groups[0].values[0].flag, "c");
    EXPECT_EQ(data.groups[0].values[1].address, "d");
    EXPECT_EQ(data.DisplayName(data.groups[0].values[1]), "d");
    EXPECT_TRUE(data.defaultFlag.empty());
}

struct Failure
{
    const char* text;
    int code;
    const char* error;
};

TEST(BackupLoad, EveryFailureHasItsCodeAndText)
{
    const Failure failures[] = {
        {"<plexord-backup/>", BACKUP_UNEXPECTED_EOF, "Unexpected end-of-file"},
        {"<plexord-backup><group>", BACKUP_PARSER_ERROR, "Parser error"},
        {"", BACKUP_PARSER_ERROR, "Parser error"},
        {"<plexord-backup><group></plexord-backup>", BACKUP_PARSER_ERROR, "Parser error"},
        {"<backup/>", BACKUP_UNEXPECTED_ELEMENT, "Unexpected root element: backup"},
        {"<plexord-backup><sp a=\"x\"/></plexord-backup>", BACKUP_UNEXPECTED_ELEMENT,
         "Unexpected element in <plexord-backup>: sp"},
        {"<plexord-backup><group><group/></group></plexord-backup>", BACKUP_UNEXPECTED_ELEMENT,
         "Unexpected element in group: group"},
        {"<plexord-backup>text</plexord-backup>", BACKUP_UNEXPECTED_NODE,
         "Unexpected node type in <plexord-backup>: 3\n"},
        {"<plexord-backup><group><![CDATA[x]]></group></plexord-backup>", BACKUP_UNEXPECTED_NODE,
         "Unexpected node type in <group>: 4\n"},
        {"<plexord-backup><group><sp v=\"1\"/></group></plexord-backup>", BACKUP_MISSING_ADDRESS,
         "Missing attribute \"a\" in <sp> element"},
        {"<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<plexord-backup device=\"a\xa2/>", BACKUP_PARSER_ERROR,
         "Parser error"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.text);
        BackupData data;
        // The failure is told by the result alone, never on the console.
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadText(data, f.text), f.code);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(data.error, f.error);
    }
}

TEST(BackupLoad, FailureInsideAGroupKeepsOnlyCompleteGroups)
{
    BackupData data;
    data.hardware = "old";
    data.groups.resize(3);
    EXPECT_EQ(LoadText(data, "<plexord-backup hw=\"H\"><group name=\"one\"><sp a=\"A\"/></group>"
                             "<group name=\"two\"><sp a=\"B\"/><sp/></group></plexord-backup>"),
              BACKUP_MISSING_ADDRESS);
    ASSERT_EQ(data.groups.size(), 1u);
    EXPECT_EQ(data.groups[0].name, "one");
    EXPECT_EQ(data.hardware, "H");
}

TEST(BackupLoad, FilesThatCannotBeOpened)
{
    test::TempDir dir;
    BackupData data;
    data.error = "before";
    data.device = "old";
    EXPECT_EQ(data.Load(dir.file("missing.xml")), BACKUP_CANNOT_OPEN);
    EXPECT_EQ(data.error, "before");
    EXPECT_TRUE(data.device.empty());

    test::WriteFile(dir.file("ok.xml"), "<plexord-backup device=\"D\"/>");
    EXPECT_EQ(data.Load(dir.file("ok.xml")), BACKUP_UNEXPECTED_EOF);
}

TEST(BackupLoad, TheDemoTemplatesLoad)
{
    for (const char* name : {"tc200.xml", "mc16.xml", "px40.xml"}) {
        SCOPED_TRACE(name);
        BackupData data;
        ASSERT_EQ(data.Load(std::string(OPSDESK_TEST_DATA_DIR) + "/templates/" + name), BACKUP_OK);
        EXPECT_FALSE(data.hardware.empty());
        EXPECT_GE(data.groups.size(), 3u);
        for (const BackupGroup& g : data.groups)
            for (const BackupValue& v : g.values)
                EXPECT_FALSE(v.hasValue);
    }
}

BackupData Sample()
{
    BackupData data;
    data.device = "Boiler";
    data.hardware = "TC-200";
    BackupGroup a;
    a.name = "Setpoints";
    BackupValue v;
    v.address = "SP1";
    v.hasValue = true;
    v.value = 65.123456789;
    a.values.push_back(v);
    v.address = "V2010";
    v.flag = "B";
    v.value = -0.5;
    a.values.push_back(v);
    v.address = "AL1";
    v.flag = "";
    v.hasValue = false;
    v.status = ncerr_t{NCERR_UNKNOWN_SETPOINT, 0};
    a.values.push_back(v);
    v.address = "AL2";
    v.flag = "W";
    v.hasValue = true; // a value with a failed status is written as the status
    v.status = ncerr_t{NCERR_TIMEOUT, 0};
    a.values.push_back(v);
    data.groups.push_back(a);
    BackupGroup skipped;
    skipped.name = "Left out";
    skipped.include = false;
    skipped.values.push_back(BackupValue{"Z", "", true, 1, {NCERR_OK, 0}});
    data.groups.push_back(skipped);
    BackupGroup empty;
    empty.name = "Empty";
    data.groups.push_back(empty);
    return data;
}

TEST(BackupSave, WritesTheFormatByteForByte)
{
    test::TempDir dir;
    BackupData data = Sample();
    const std::string path = dir.file("b.xml");
    ASSERT_EQ(data.Save(path), BACKUP_OK);
    const std::string expected =
        std::string(kHeader) + "<plexord-backup device=\"Boiler\" hw=\"TC-200\">\n"
                               " <group name=\"Setpoints\">\n"
                               "  <sp a=\"SP1\" v=\"65.1235\"/>\n"
                               "  <sp a=\"V2010\" f=\"B\" v=\"-0.5\"/>\n"
                               "  <sp a=\"AL1\" status=\"" +
        ncerr_get_string(ncerr_t{NCERR_UNKNOWN_SETPOINT, 0}) +
        "\"/>\n"
        "  <sp a=\"AL2\" f=\"W\" status=\"" +
        ncerr_get_string(ncerr_t{NCERR_TIMEOUT, 0}) +
        "\"/>\n"
        " </group>\n"
        " <group name=\"Empty\">\n"
        " </group>\n"
        "</plexord-backup>\n";
    EXPECT_EQ(test::ReadFile(path), expected);
    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(BackupSave, DefaultFlagIsRepeatedOnTheRootAndOnEntriesWithoutOne)
{
    test::TempDir dir;
    BackupData data;
    ASSERT_EQ(data.Load(std::string(OPSDESK_TEST_DATA_DIR) + "/templates/px40.xml"), BACKUP_OK);
    data.device = "Pressure";
    data.groups.resize(1);
    for (BackupValue& v : data.groups[0].values) {
        v.hasValue = true;
        v.value = 1e7;
    }
    ASSERT_EQ(data.Save(dir.file("p.xml")), BACKUP_OK);
    const std::string text = test::ReadFile(dir.file("p.xml"));
    EXPECT_NE(text.find("<plexord-backup device=\"Pressure\" hw=\"PX-40 Pressure transmitter\" defaultflag=\"F\">\n"),
              std::string::npos);
    EXPECT_NE(text.find("  <sp a=\"UNIT\" f=\"W\" v=\"1e+07\"/>\n"), std::string::npos);
    EXPECT_NE(text.find("  <sp a=\"LRV\" f=\"F\" v=\"1e+07\"/>\n"), std::string::npos);
    EXPECT_EQ(text.find("f=\"\""), std::string::npos);
}

TEST(BackupSave, TextsThatNeedEscapingReadBack)
{
    test::TempDir dir;
    BackupData data;
    data.device = "Tom & \"Jerry\" <pump's>";
    data.hardware = "a\tb\nc";
    data.defaultFlag = "&";
    BackupGroup g;
    g.name = "Group <1> & 'two'";
    g.values.push_back(BackupValue{"V<1>", "\"", true, 3.25, {NCERR_OK, 0}});
    g.values.push_back(BackupValue{"A&B", "", true, -7, {NCERR_OK, 0}});
    g.values.push_back(BackupValue{"Äö", "", false, 0, {NCERR_TIMEOUT, 0}});
    data.groups.push_back(g);
    ASSERT_EQ(data.Save(dir.file("e.xml")), BACKUP_OK);

    BackupData back;
    ASSERT_EQ(back.Load(dir.file("e.xml")), BACKUP_OK) << back.error;
    EXPECT_EQ(back.device, data.device);
    EXPECT_EQ(back.hardware, data.hardware);
    EXPECT_EQ(back.defaultFlag, data.defaultFlag);
    ASSERT_EQ(back.groups.size(), 1u);
    EXPECT_EQ(back.groups[0].name, g.name);
    ASSERT_EQ(back.groups[0].values.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const BackupValue& want = g.values[i];
        const BackupValue& got = back.groups[0].values[i];
        EXPECT_EQ(got.address, want.address);
        EXPECT_EQ(back.EffectiveFlag(got), data.EffectiveFlag(want));
        EXPECT_EQ(got.hasValue, want.hasValue);
        EXPECT_DOUBLE_EQ(got.value, want.value);
    }
}

TEST(BackupSave, ValuesDoNotFollowTheProcessLocale)
{
    // A comma locale must not leak into the file or into reading it.
    for (const char* name : {"sv_SE.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"})
        if (std::setlocale(LC_NUMERIC, name))
            break;
    EXPECT_EQ(FormatBackupValue(1.5), "1.5");
    EXPECT_EQ(FormatBackupValue(65.123456789), "65.1235");
    EXPECT_EQ(FormatBackupValue(0.0001), "0.0001");
    EXPECT_EQ(FormatBackupValue(-1234567), "-1.23457e+06");
    EXPECT_DOUBLE_EQ(ParseBackupValue(" 1.5"), 1.5);
    EXPECT_DOUBLE_EQ(ParseBackupValue("2.5x"), 2.5);
    EXPECT_DOUBLE_EQ(ParseBackupValue("abc"), 0);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(BackupSave, AFailedSaveKeepsTheEarlierFile)
{
    test::TempDir dir;
    const std::string path = dir.file("keep.xml");
    test::WriteFile(path, "earlier backup");
    BackupData data = Sample();

    // A folder that cannot be written: the temporary file cannot be made.
    chmod(dir.path().c_str(), 0500);
    const bool writable = access(dir.path().c_str(), W_OK) == 0; // root writes anyway
    if (!writable) {
        EXPECT_EQ(data.Save(path), BACKUP_CANNOT_OPEN);
    }
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(test::ReadFile(path), "earlier backup");

    // The disk fills up half-way: the file size limit stands in for it.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 200;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int r = data.Save(path);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r, BACKUP_WRITE_FAILED);
    EXPECT_NE(data.error.find("Failed to write the backup file: "), std::string::npos);
    EXPECT_EQ(test::ReadFile(path), "earlier backup");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    EXPECT_EQ(data.Save(""), BACKUP_CANNOT_OPEN);
    EXPECT_EQ(data.Save(dir.path()), BACKUP_CANNOT_OPEN);
    EXPECT_EQ(data.Save(dir.file("no/such/folder.xml")), BACKUP_CANNOT_OPEN);
    EXPECT_EQ(test::ReadFile(path), "earlier backup");
}

TEST(BackupCompare, SinglePrecisionWithinASmallDistance)
{
    EXPECT_TRUE(BackupValuesEqual(1.0, 1.0));
    EXPECT_TRUE(BackupValuesEqual(1.0, 1.0000001));
    EXPECT_FALSE(BackupValuesEqual(1.0, 1.001));
    EXPECT_TRUE(BackupValuesEqual(-1.0, -1.0000001));
    EXPECT_FALSE(BackupValuesEqual(-1.0, -1.001));
    EXPECT_FALSE(BackupValuesEqual(-1.0, 1.0));
    EXPECT_TRUE(BackupValuesEqual(65.1235, 65.123456789));
    EXPECT_FALSE(BackupValuesEqual(0, 1));
    // Zero has two signs; values just either side of it are neighbours.
    EXPECT_TRUE(BackupValuesEqual(0.0, -0.0));
    EXPECT_TRUE(BackupValuesEqual(-1e-44, 1e-44));
    EXPECT_FALSE(BackupValuesEqual(-1e-30, 1e-30));
    // 160 steps apart is still equal, 161 not.
    const float one = 1.0f;
    EXPECT_TRUE(BackupValuesEqual(one, std::nextafter(one + 159 * 1.1920929e-7f, 2.0f)));
    EXPECT_FALSE(BackupValuesEqual(one, one + 161 * 1.1920929e-7f));
}

} // namespace
