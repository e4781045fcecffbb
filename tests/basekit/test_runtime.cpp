#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "basekit.h"

namespace {

std::string take(char *s)
{
    std::string r = s ? s : "<null>";
    ux_free_if_not_null(s);
    return r;
}

TEST(BasekitStrings, CopyCompareAndJoin)
{
    EXPECT_EQ(ux_strdup(nullptr), nullptr);
    EXPECT_EQ(take(ux_strdup("abc")), "abc");
    EXPECT_TRUE(ux_streq("a", "a"));
    EXPECT_FALSE(ux_streq("a", "b"));
    EXPECT_FALSE(ux_streq("a", nullptr));
    EXPECT_TRUE(ux_streq(nullptr, nullptr));

    EXPECT_EQ(take(ux_path_concat("dir", "f")), "dir/f");
    EXPECT_EQ(take(ux_path_concat("dir//", "/f")), "dir/f");
    EXPECT_EQ(take(ux_path_concat("/", "f")), "/f");
    EXPECT_EQ(take(ux_path_concat("", "f")), "f");
    EXPECT_EQ(take(ux_path_concat("dir", nullptr)), "dir");
    EXPECT_EQ(ux_path_concat(nullptr, nullptr), nullptr);
}

TEST(BasekitFiles, OnlyTheTemporariesOfWritersThatAreGoneAreRemoved)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("basekit-stale-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    const std::string dead = std::to_string(gone), me = std::to_string(getpid()), init = "1";
    const struct {
        std::string name;
        bool removed;
    } files[] = {
        {".a.ini.tmp" + dead + "-0-123", true},  {".a.ini.tmp" + dead + "-7", true},
        {".a.ini.tmp" + me + "-1-5", false},      {".a.ini.tmp" + init + "-0", false},
        {".a.ini.tmp" + dead, false},             {".a.ini.tmpx" + dead + "-1", false},
        {".b.ini.tmp" + dead + "-0", false},      {".a.ini", false},
        {".a.ini.tmp99999999999999999999-0", false},
    };
    for (const auto &f : files)
        std::ofstream(dir / f.name) << "x";
    EXPECT_EQ(ux_remove_stale_temporaries((dir / ".a.ini.tmp").c_str()), 2);
    for (const auto &f : files)
        EXPECT_EQ(fs::exists(dir / f.name), !f.removed) << f.name;
    EXPECT_EQ(ux_remove_stale_temporaries((dir / "missing" / "x.tmp").c_str()), 0);
    EXPECT_EQ(ux_remove_stale_temporaries(nullptr), 0);
    fs::remove_all(dir);
}

TEST(BasekitStrings, FopenReportsWhyItFailed)
{
    uxerror_t *err = nullptr;
    EXPECT_EQ(ux_fopen("/nonexistent-dir/x", "rb", &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(uxerror_region(err), "/nonexistent-dir/x");
    EXPECT_EQ(std::string(uxerror_message(err)), std::string("Error 2: ") + strerror(ENOENT));
    uxerror_free(err);

    FILE *f = ux_fopen("/dev/null", "wb", nullptr);
    ASSERT_NE(f, nullptr);
    fclose(f);

    EXPECT_STREQ(uxerror_region(nullptr), "");
    EXPECT_STREQ(uxerror_message(nullptr), "");
    uxerror_free(nullptr);
    uxerror_t *made = uxerror_new(nullptr, "m");
    EXPECT_STREQ(uxerror_region(made), "");
    EXPECT_STREQ(uxerror_message(made), "m");
    uxerror_free(made);
}

// Runs the date-time tests in a zone with daylight saving time.
class BasekitDateTime : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *tz = getenv("TZ"))
            saved = tz;
        setenv("TZ", "Europe/Stockholm", 1);
        tzset();
    }
    void TearDown() override
    {
        if (saved)
            setenv("TZ", saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void expect_fields(ux_datetime_t t, int y, int mo, int d, int h, int mi, int s)
    {
        int fy = 0, fmo = 0, fd = 0, fh = 0, fmi = 0, fs = 0;
        dt_get_ymd(&t, &fy, &fmo, &fd);
        dt_get_hms(&t, &fh, &fmi, &fs);
        EXPECT_EQ(std::vector<int>({fy, fmo, fd, fh, fmi, fs}), std::vector<int>({y, mo, d, h, mi, s}));
    }
    std::optional<std::string> saved;
};

TEST_F(BasekitDateTime, FieldsSetAndGetBothWays)
{
    ux_datetime_t t = 0;
    expect_fields(t, 1970, 1, 1, 1, 0, 0); // CET is UTC+1
    dt_set_ymd(&t, 2024, 2, 29);
    expect_fields(t, 2024, 2, 29, 1, 0, 0);
    dt_set_hms(&t, 13, 45, 10);
    expect_fields(t, 2024, 2, 29, 13, 45, 10);
    EXPECT_EQ(t, 1709210710); // 2024-02-29 12:45:10 UTC
    int h = -1, m = -1;
    dt_get_hms(&t, &h, &m, nullptr);
    EXPECT_EQ(h * 100 + m, 1345);
}

TEST_F(BasekitDateTime, KeepsTheOtherHalfAcrossDaylightSavingChanges)
{
    ux_datetime_t t = 1711800000; // 2024-03-30 13:00:00 CET, the day before summer time
    dt_set_ymd(&t, 2024, 4, 15);
    expect_fields(t, 2024, 4, 15, 13, 0, 0);
    EXPECT_EQ(t, 1711800000 + 16 * 86400 - 3600);
    dt_set_ymd(&t, 2024, 12, 24);
    expect_fields(t, 2024, 12, 24, 13, 0, 0);
    dt_set_hms(&t, 23, 59, 59);
    expect_fields(t, 2024, 12, 24, 23, 59, 59);

    // 02:30 on 2024-10-27 happens twice; setting the same time keeps the instant.
    for (ux_datetime_t twice : {ux_datetime_t{1729989000}, ux_datetime_t{1729992600}}) {
        ux_datetime_t u = twice;
        expect_fields(u, 2024, 10, 27, 2, 30, 0);
        dt_set_hms(&u, 2, 30, 0);
        EXPECT_EQ(u, twice);
    }

    // 02:30 on 2024-03-31 does not exist: the date stays.
    t = 1711800000;
    dt_set_ymd(&t, 2024, 3, 31);
    dt_set_hms(&t, 2, 30, 0);
    int y = 0, mo = 0, d = 0;
    dt_get_ymd(&t, &y, &mo, &d);
    EXPECT_EQ(y * 10000 + mo * 100 + d, 20240331);
}

} // namespace
