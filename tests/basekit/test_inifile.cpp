#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "basekit.h"

namespace fs = std::filesystem;

namespace {

struct IniDeleter {
    void operator()(inifile_t *h) const { inifile_delete(h); }
};
using Ini = std::unique_ptr<inifile_t, IniDeleter>;

struct ErrDeleter {
    void operator()(uxerror_t *e) const { uxerror_free(e); }
};
using Err = std::unique_ptr<uxerror_t, ErrDeleter>;

int open_text(inifile_t *h, const std::string &t)
{
    return inifile_open_buffer(h, t.data(), t.size(), "mem", nullptr);
}

class BasekitIni : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/basekit-ini-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::string file(const std::string &name, const std::string &content)
    {
        std::string p = (dir / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    static std::string slurp(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static std::string text(const inifile_t *h)
    {
        size_t n = 0;
        char *t = inifile_save_buffer(h, &n);
        std::string s(t, n);
        ux_free_string(t);
        return s;
    }
    size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }

    fs::path dir;
    Ini h{inifile_new()};
};

TEST_F(BasekitIni, RoundTripKeepsOrderCommentsAndIgnoresCase)
{
    const std::string src = "\xEF\xBB\xBF; top\r\n"
                            "top = 1\r\n"
                            "\r\n"
                            "# about zeta\r\n"
                            "[Zeta]\r\n"
                            "  B = two words  \r\n"
                            "; about a\r\n"
                            "a=x=y ; not a comment\r\n"
                            "[alpha]\r\n"
                            "k=\r\n"
                            "; the end\r\n";
    std::string p = file("in.ini", src);
    ASSERT_EQ(inifile_open(h.get(), p.c_str(), nullptr), 0);

    EXPECT_STREQ(inifile_read_string(h.get(), "", "TOP", "?"), "1");
    EXPECT_STREQ(inifile_read_string(h.get(), "zeta", "b", "?"), "two words");
    EXPECT_STREQ(inifile_read_string(h.get(), "ZETA", "A", "?"), "x=y ; not a comment");
    EXPECT_STREQ(inifile_read_string(h.get(), "Alpha", "k", "?"), "");
    ASSERT_EQ(inifile_get_section_count(h.get()), 3);
    EXPECT_STREQ(inifile_get_section_by_index(h.get(), 1), "Zeta");
    EXPECT_STREQ(inifile_get_key_by_index(h.get(), "zeta", 0), "B");

    const std::string expected = "top=1\n"
                                 "\n"
                                 "# about zeta\n"
                                 "[Zeta]\n"
                                 "B=two words\n"
                                 "; about a\n"
                                 "a=x=y ; not a comment\n"
                                 "\n"
                                 "[alpha]\n"
                                 "k=\n"
                                 "\n"
                                 "; the end\n";
    // "; top" belongs to the key that follows it.
    std::string saved = (dir / "out.ini").string();
    ASSERT_EQ(inifile_save(h.get(), saved.c_str(), nullptr), 0);
    EXPECT_EQ(slurp(saved), "; top\n" + expected);

    Ini again{inifile_new()};
    ASSERT_EQ(inifile_open(again.get(), saved.c_str(), nullptr), 0);
    EXPECT_EQ(text(again.get()), "; top\n" + expected);
    EXPECT_EQ(entries(), 2u) << "a temporary file was left behind";
}

TEST_F(BasekitIni, CaseSensitiveModeKeepsNamesApartAndMergesWhenSwitchedOff)
{
    inifile_set_case_sensitive(h.get(), 1);
    ASSERT_EQ(open_text(h.get(), "[S]\nKey=1\nkey=2\n[s]\nx=3\n"), 0);
    EXPECT_EQ(inifile_get_section_count(h.get()), 2);
    EXPECT_EQ(inifile_read_long(h.get(), "S", "Key", 0), 1);
    EXPECT_EQ(inifile_read_long(h.get(), "S", "key", 0), 2);
    EXPECT_FALSE(inifile_has_key(h.get(), "S", "KEY"));
    EXPECT_FALSE(inifile_has_key(h.get(), "s", "Key"));

    inifile_set_case_sensitive(h.get(), 0);
    EXPECT_EQ(inifile_get_section_count(h.get()), 1);
    EXPECT_EQ(inifile_get_key_count(h.get(), "s"), 2);
    EXPECT_EQ(inifile_read_long(h.get(), "s", "KEY", 0), 2); // the later line wins
    EXPECT_EQ(inifile_read_long(h.get(), "S", "X", 0), 3);
}

TEST_F(BasekitIni, NamesAreCutTo255BytesWithoutSplittingUtf8)
{
    std::string longkey(300, 'k');
    inifile_write_long(h.get(), "s", longkey.c_str(), 7);
    EXPECT_EQ(strlen(inifile_get_key_by_index(h.get(), "s", 0)), 255u);
    EXPECT_EQ(inifile_read_long(h.get(), "s", longkey.substr(0, 255).c_str(), 0), 7);

    std::string utf = std::string(254, 's') + "\xC3\xA9" + "tail"; // é straddles byte 255
    inifile_register_section(h.get(), utf.c_str());
    EXPECT_STREQ(inifile_get_section_by_index(h.get(), 1), std::string(254, 's').c_str());

    Ini again{inifile_new()};
    std::string saved = text(h.get());
    ASSERT_EQ(open_text(again.get(), saved), 0);
    EXPECT_EQ(text(again.get()), saved);
}

TEST_F(BasekitIni, FloatsReadBackExactly)
{
    const double values[] = {0.1, 1e-300, -0.0, DBL_MAX, -DBL_MAX, DBL_MIN, std::numeric_limits<double>::denorm_min(),
                             1.0 / 3.0, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    for (size_t i = 0; i < std::size(values); ++i)
        inifile_write_float(h.get(), "f", ("v" + std::to_string(i)).c_str(), values[i]);
    inifile_write_float(h.get(), "f", "nan", std::nan(""));
    std::string p = (dir / "f.ini").string();
    ASSERT_EQ(inifile_save(h.get(), p.c_str(), nullptr), 0);
    Ini again{inifile_new()};
    ASSERT_EQ(inifile_open(again.get(), p.c_str(), nullptr), 0);
    for (size_t i = 0; i < std::size(values); ++i) {
        double d = inifile_read_float(again.get(), "f", ("v" + std::to_string(i)).c_str(), 42.0);
        EXPECT_EQ(memcmp(&d, &values[i], sizeof d), 0) << "value " << values[i];
    }
    EXPECT_TRUE(std::isnan(inifile_read_float(again.get(), "f", "nan", 0.0)));
    EXPECT_STREQ(inifile_read_string(again.get(), "f", "v0", ""), "0.1");
}

// A numeric locale with a decimal comma: an installed one, else one built
// into a temporary folder (glibc reads LOCPATH on every setlocale).
std::string comma_locale(std::string &built_dir)
{
    for (const char *name : {"de_DE.UTF-8", "sv_SE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "sv_SE.utf8"})
        if (setlocale(LC_NUMERIC, name)) {
            setlocale(LC_NUMERIC, "C");
            return name;
        }
    char tmpl[] = "/tmp/basekit-locale-XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    built_dir = tmpl;
    std::string cmd = "localedef -i sv_SE -f UTF-8 " + built_dir + "/sv_SE.UTF-8 >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0)
        return "";
    setenv("LOCPATH", built_dir.c_str(), 1);
    if (!setlocale(LC_NUMERIC, "sv_SE.UTF-8"))
        return "";
    setlocale(LC_NUMERIC, "C");
    return "sv_SE.UTF-8";
}

TEST_F(BasekitIni, NumbersIgnoreTheUsersLocale)
{
    std::string built;
    struct Restore {
        std::string &dir;
        ~Restore()
        {
            setlocale(LC_NUMERIC, "C");
            if (!dir.empty()) {
                unsetenv("LOCPATH");
                fs::remove_all(dir);
            }
        }
    } restore{built};
    std::string name = comma_locale(built);
    if (name.empty())
        GTEST_SKIP() << "no locale with a decimal comma can be had";
    ASSERT_NE(setlocale(LC_NUMERIC, name.c_str()), nullptr);
    ASSERT_STREQ(localeconv()->decimal_point, ",");
    ASSERT_EQ(open_text(h.get(), "[n]\nf=1.5\ng=2,5\n"), 0);
    EXPECT_EQ(inifile_read_float(h.get(), "n", "f", 0), 1.5);
    EXPECT_EQ(inifile_read_float(h.get(), "n", "g", 0), 2.0); // "2,5" is 2 followed by text, as in "C"
    inifile_write_float(h.get(), "n", "w", 2.25);
    EXPECT_STREQ(inifile_read_string(h.get(), "n", "w", ""), "2.25");
}

TEST_F(BasekitIni, LongsParseSignsAndHexAndFallBackOnJunk)
{
    const char src[] = "[n]\na=+12\nb= -7 \nc=0x1F\nd=abc\ne=99999999999999999999999\nf=-0x10\ng=\n";
    ASSERT_EQ(open_text(h.get(), src), 0);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "a", 0), 12);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "b", 0), -7);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "c", 0), 31);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "d", 5), 5);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "e", 5), 5);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "f", 0), -16);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "g", 5), 5);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "missing", -3), -3);
    inifile_write_long(h.get(), "n", "min", LONG_MIN);
    EXPECT_EQ(inifile_read_long(h.get(), "n", "min", 0), LONG_MIN);
}

TEST_F(BasekitIni, MalformedLineFailsWithItsLineAndKeepsContents)
{
    inifile_write_string(h.get(), "keep", "k", "v");
    const std::pair<std::string, std::string> cases[] = {
        {"[a]\nok=1\njust words\n", ":3"},
        {"; c\n[broken\n", ":2"},
        {"[a]\n = value\n", ":2"},
        {"[a] ; trailing\n", ":1"},
    };
    for (const auto &[content, line] : cases) {
        std::string p = file("bad.ini", content);
        uxerror_t *raw = nullptr;
        EXPECT_NE(inifile_open(h.get(), p.c_str(), &raw), 0) << content;
        Err e(raw);
        ASSERT_TRUE(e) << content;
        EXPECT_EQ(uxerror_region(e.get()), p + line);
        EXPECT_STRNE(uxerror_message(e.get()), "");
        EXPECT_EQ(inifile_get_section_count(h.get()), 1);
        EXPECT_STREQ(inifile_read_string(h.get(), "keep", "k", ""), "v");
    }

    std::string missing = (dir / "nope.ini").string();
    uxerror_t *raw = nullptr;
    EXPECT_NE(inifile_open(h.get(), missing.c_str(), &raw), 0);
    Err e(raw);
    ASSERT_TRUE(e);
    EXPECT_EQ(uxerror_region(e.get()), missing);
    EXPECT_NE(std::string(uxerror_message(e.get())).find(strerror(ENOENT)), std::string::npos);
    EXPECT_TRUE(inifile_has_section(h.get(), "keep"));
}

TEST_F(BasekitIni, FailedSavesLeaveTheOldFileWholeAndNoTemporaryFile)
{
    std::string p = file("cfg.ini", "[old]\nk=1\n");
    std::string big(64 * 1024, 'x');
    inifile_write_string(h.get(), "new", "big", big.c_str());

    // A write that fails half-way (file size limit).
    struct rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    uxerror_t *raw = nullptr;
    int rc = inifile_save(h.get(), p.c_str(), &raw);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    Err e(raw);
    EXPECT_NE(rc, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(uxerror_region(e.get()), p);
    EXPECT_NE(std::string(uxerror_message(e.get())).find(strerror(EFBIG)), std::string::npos);
    EXPECT_EQ(slurp(p), "[old]\nk=1\n");
    EXPECT_EQ(entries(), 1u);

    // The target is a directory.
    fs::create_directory(dir / "sub");
    std::string sub = (dir / "sub").string();
    raw = nullptr;
    EXPECT_NE(inifile_save(h.get(), sub.c_str(), &raw), 0);
    e.reset(raw);
    ASSERT_TRUE(e);
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_EQ(entries(), 2u);

    // A missing folder.
    std::string nowhere = (dir / "missing" / "x.ini").string();
    EXPECT_NE(inifile_save(h.get(), nowhere.c_str(), nullptr), 0);

    // A success replaces the file and keeps its permissions.
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(inifile_save(h.get(), p.c_str(), nullptr), 0);
    EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(slurp(p).find(big), std::string::npos);
    EXPECT_EQ(entries(), 2u);
}

TEST_F(BasekitIni, SaveWithModeAndAtomicCopyGiveExactlyTheMode)
{
    const auto owner = fs::perms::owner_read | fs::perms::owner_write;
    mode_t old_mask = umask(0); // the mode holds whatever the umask
    inifile_write_long(h.get(), "s", "k", 1);
    std::string fresh = (dir / "new.ini").string();
    std::string open_file = file("open.ini", "[old]\n");
    fs::permissions(open_file, fs::perms::all);
    // A copy is byte for byte, also of what does not parse.
    const std::string raw("[broken\n\0\xff k=v\r\n", 15);
    std::string src = file("src.ini", raw);
    std::string dst = file("src.ini.bak", "old copy");
    fs::permissions(dst, fs::perms::all);
    int saved = inifile_save_mode(h.get(), fresh.c_str(), 0600, nullptr) +
                inifile_save_mode(h.get(), open_file.c_str(), 0600, nullptr) +
                ux_file_copy_atomic(src.c_str(), dst.c_str(), 0600, nullptr);
    umask(old_mask);
    EXPECT_EQ(saved, 0);
    for (const std::string &p : {fresh, open_file, dst})
        EXPECT_EQ(fs::status(p).permissions(), owner) << p;
    EXPECT_EQ(slurp(open_file), text(h.get()));
    EXPECT_EQ(slurp(dst), raw);

    // A failed copy names the file and leaves no temporary file.
    fs::create_directory(dir / "sub");
    std::string sub = (dir / "sub").string();
    uxerror_t *raw_err = nullptr;
    EXPECT_NE(ux_file_copy_atomic(src.c_str(), sub.c_str(), 0600, &raw_err), 0);
    Err e(raw_err);
    ASSERT_TRUE(e);
    EXPECT_EQ(uxerror_region(e.get()), sub);
    EXPECT_TRUE(fs::is_empty(sub));
    EXPECT_EQ(entries(), 5u);
}

// Makes the folder refuse new files, also for root (immutable flag).
bool lock_folder(const fs::path &dir, bool &immutable)
{
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    if (access(dir.c_str(), W_OK) != 0)
        return true;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    immutable = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0)
        close(fd);
    return immutable;
}

void unlock_folder(const fs::path &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        close(fd);
}

TEST_F(BasekitIni, SaveIntoReadOnlyFolderFails)
{
    std::string p = file("cfg.ini", "[old]\nk=1\n");
    bool immutable = false;
    if (!lock_folder(dir, immutable))
        GTEST_SKIP() << "cannot make a folder read-only here";
    inifile_write_long(h.get(), "new", "k", 2);
    uxerror_t *raw = nullptr;
    int rc = inifile_save(h.get(), p.c_str(), &raw);
    if (immutable)
        unlock_folder(dir);
    Err e(raw);
    EXPECT_NE(rc, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(uxerror_message(e.get()), "Error " + std::to_string(immutable ? EPERM : EACCES) + ": " +
                                            strerror(immutable ? EPERM : EACCES));
    EXPECT_EQ(slurp(p), "[old]\nk=1\n");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(BasekitIni, ValuesKeepTheirBytes)
{
    const char latin1[] = "caf\xE9 \xE5\xE4\xF6 ; x=y";
    inifile_write_string(h.get(), "s", "latin", latin1);
    inifile_write_string(h.get(), "s", "multi", "line one\nline two");
    std::string p = (dir / "v.ini").string();
    ASSERT_EQ(inifile_save(h.get(), p.c_str(), nullptr), 0);
    Ini again{inifile_new()};
    ASSERT_EQ(inifile_open(again.get(), p.c_str(), nullptr), 0);
    EXPECT_STREQ(inifile_read_string(again.get(), "s", "latin", ""), latin1);
    EXPECT_STREQ(inifile_read_string(again.get(), "s", "multi", ""), "line one line two");
    EXPECT_EQ(text(again.get()), text(h.get()));
}

TEST_F(BasekitIni, SectionOperations)
{
    const char src[] = "[a]\nk1=1\nk2=2\nk3=3\n[b]\nx=1\n[c]\ny=2\n";
    ASSERT_EQ(open_text(h.get(), src), 0);

    EXPECT_EQ(inifile_remove_key(h.get(), "a", "K1"), 1);
    EXPECT_EQ(inifile_remove_key(h.get(), "a", "k1"), 0);
    EXPECT_EQ(inifile_read_long(h.get(), "a", "k3", 0), 3);
    EXPECT_STREQ(inifile_get_key_by_index(h.get(), "a", 1), "k3");

    EXPECT_EQ(inifile_remove_section(h.get(), "B"), 1);
    EXPECT_EQ(inifile_read_long(h.get(), "c", "y", 0), 2);
    EXPECT_STREQ(inifile_get_section_by_index(h.get(), 1), "c");

    EXPECT_EQ(inifile_rename_section(h.get(), "c", "A"), 0); // taken
    EXPECT_EQ(inifile_rename_section(h.get(), "zz", "d"), 0); // missing
    EXPECT_EQ(inifile_rename_section(h.get(), "c", "d"), 1);
    EXPECT_EQ(inifile_rename_section(h.get(), "d", "D"), 1); // case only
    EXPECT_STREQ(inifile_get_section_by_index(h.get(), 1), "D");
    EXPECT_FALSE(inifile_has_section(h.get(), "c"));
    EXPECT_EQ(inifile_read_long(h.get(), "d", "y", 0), 2);

    EXPECT_EQ(inifile_register_section(h.get(), "empty"), 1);
    EXPECT_EQ(inifile_register_section(h.get(), "EMPTY"), 1);
    EXPECT_EQ(inifile_get_section_count(h.get()), 3);
    EXPECT_EQ(inifile_get_key_count(h.get(), "empty"), 0);

    Ini other{inifile_new()};
    inifile_write_long(other.get(), "a", "stale", 1);
    inifile_write_long(other.get(), "first", "k", 1);
    EXPECT_EQ(inifile_copy_section(h.get(), "A", other.get()), 1);
    EXPECT_EQ(inifile_copy_section(h.get(), "nope", other.get()), 0);
    EXPECT_FALSE(inifile_has_key(other.get(), "a", "stale"));
    EXPECT_EQ(inifile_read_long(other.get(), "a", "k2", 0), 2);
    EXPECT_STREQ(inifile_get_section_by_index(other.get(), 0), "a");
    inifile_write_long(other.get(), "a", "k2", 9);
    EXPECT_EQ(inifile_read_long(h.get(), "a", "k2", 0), 2);

    // Section "" is written first, without a header, wherever it was made.
    inifile_write_string(h.get(), "", "root", "r");
    EXPECT_STREQ(inifile_get_section_by_index(h.get(), 0), "");
    Ini again{inifile_new()};
    std::string t = text(h.get());
    EXPECT_EQ(t.rfind("root=r\n", 0), 0u);
    ASSERT_EQ(open_text(again.get(), t), 0);
    EXPECT_EQ(text(again.get()), t);
    EXPECT_TRUE(inifile_has_section(again.get(), "empty"));

    inifile_clear(h.get());
    EXPECT_EQ(inifile_get_section_count(h.get()), 0);
    EXPECT_EQ(text(h.get()), "");
}

TEST_F(BasekitIni, WritesTheSyntaxCannotHoldAreRefused)
{
    inifile_write_string(h.get(), "s", "a=b", "1");
    inifile_write_string(h.get(), "s", ";c", "1");
    inifile_write_string(h.get(), "s", "  ", "1");
    inifile_write_string(h.get(), "bad\nname", "k", "1");
    EXPECT_EQ(inifile_get_key_count(h.get(), "s"), 0);
    EXPECT_FALSE(inifile_has_section(h.get(), "bad\nname"));
    inifile_write_string(h.get(), " s ", " k ", "  v  ");
    EXPECT_STREQ(inifile_read_string(h.get(), "s", "k", ""), "v");
}

TEST_F(BasekitIni, NullArgumentsAreHarmless)
{
    const char *def = "d";
    EXPECT_EQ(inifile_read_string(nullptr, "s", "k", def), def);
    EXPECT_EQ(inifile_read_string(h.get(), nullptr, "k", def), def);
    EXPECT_EQ(inifile_read_string(h.get(), "s", nullptr, def), def);
    EXPECT_EQ(inifile_read_long(nullptr, "s", "k", 4), 4);
    EXPECT_EQ(inifile_read_float(h.get(), nullptr, nullptr, 2.5), 2.5);
    inifile_write_long(nullptr, "s", "k", 1);
    inifile_write_string(h.get(), nullptr, "k", "v");
    inifile_write_string(h.get(), "s", nullptr, "v");
    EXPECT_EQ(inifile_get_section_count(h.get()), 0);
    EXPECT_EQ(inifile_has_section(nullptr, "s"), 0);
    EXPECT_EQ(inifile_remove_section(h.get(), nullptr), 0);
    EXPECT_EQ(inifile_rename_section(h.get(), nullptr, "x"), 0);
    EXPECT_EQ(inifile_copy_section(h.get(), "s", nullptr), 0);
    EXPECT_EQ(inifile_get_section_by_index(nullptr, 0), nullptr);
    EXPECT_EQ(inifile_get_key_by_index(h.get(), "s", 0), nullptr);
    EXPECT_NE(inifile_open(nullptr, "x", nullptr), 0);
    EXPECT_NE(inifile_save(h.get(), nullptr, nullptr), 0);
    inifile_clear(nullptr);
    inifile_delete(nullptr);
}

} // namespace
