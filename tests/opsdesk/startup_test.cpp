// Installation layout, command line, translations and the saved geometry.
#include "coretext.h"
#include "startup.h"
#include "support.h"

#include <buslink.h>

#include <gtest/gtest.h>

#include <wx/intl.h>
#include <wx/stockitem.h>
#include <wx/translation.h>

#include <libintl.h>

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct Layout
{
    bool ok;
    Folders folders;
    std::string out;
    std::string err;
};

// Without a user configuration folder, so that no test touches the real one.
Layout Determine(const fs::path& cwd, Folders folders = {}, const LayoutEnvironment& env = {})
{
    std::ostringstream out, err;
    const bool ok = DetermineInstallation(cwd, folders, out, err, env);
    return {ok, folders, out.str(), err.str()};
}

std::string Head(const fs::path& cwd)
{
    return "Determining installation type\n - Current working directory: " + cwd.string() + "\n";
}

const char kBinLine[] = " - CWD is 'bin'. Checking if system wide installation.\n";

class LayoutTest : public ::testing::Test
{
protected:
    fs::path Make(std::initializer_list<const char*> dirs)
    {
        for (const char* d : dirs)
            fs::create_directories(root / d);
        return root / "bin";
    }

    test::TempDir tmp;
    fs::path root = fs::path(tmp.path()) / "plexord";
};

TEST_F(LayoutTest, LocalInstallationTakesEveryFolderFromTheRoot)
{
    const fs::path bin = Make({"bin", "images"});
    const Layout l = Determine(bin, {"", "/given/data", "/given/plugins", ""});
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.out, Head(bin) + kBinLine + " - Local installation (parent directory has an 'images' directory)\n");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.folders.config, root.string());
    EXPECT_EQ(l.folders.data, root.string());
    EXPECT_EQ(l.folders.plugins, (root / "plugins").string());
    EXPECT_EQ(l.folders.locale, (root / "locale").string());
}

TEST_F(LayoutTest, BuildDirectoryUsesDataAndBinPlugins)
{
    const fs::path bin = Make({"bin", "data"});
    const Layout l = Determine(bin, {"", "/given/data", "/given/plugins", ""});
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.out, Head(bin) + kBinLine +
                         " - Running from build directory (parent directory has a 'data' directory)\n");
    EXPECT_EQ(l.folders.config, root.string());
    EXPECT_EQ(l.folders.data, (root / "data").string());
    EXPECT_EQ(l.folders.plugins, (root / "bin" / "plugins").string());
    EXPECT_EQ(l.folders.locale, (root / "locale").string());
}

TEST_F(LayoutTest, InstalledTreeTakesItsFoldersAndTheUsersConfiguration)
{
    const fs::path xdg = root / "home" / "config" / "plexord";
    // Non-ASCII survives the trip through the shared rule.
    const wxString umlaut = wxString::FromUTF8("/given/d\u00e4ta");
    // "=" is the folder given before, relative ones lie under the root.
    struct Case
    {
        std::vector<const char*> dirs;
        Folders given;
        fs::path libDir;
        std::string config, data, plugins, locale;
    };
    const std::vector<Case> cases = {
        {{"bin", "share"}, {}, "lib", "", "share/plexord", "lib/plexord/plugins", "share/locale"},
        // Tested first: a tree that also looks like the other layouts.
        {{"bin", "share", "images", "data"}, {}, "lib/x86_64-linux-gnu", "", "share/plexord",
         "lib/x86_64-linux-gnu/plexord/plugins", "share/locale"},
        // Given folders win, whichever are given.
        {{"bin", "share"}, {"", umlaut, "/given/plugins", ""}, "lib", "", "=", "=", "share/locale"},
        {{"bin", "share"}, {"/given/config", "", "", "/given/locale"}, "lib", "=", "share/plexord",
         "lib/plexord/plugins", "="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.libDir.string() + " " + c.given.data.utf8_string() + c.given.config.utf8_string());
        fs::remove_all(root);
        const fs::path bin = root / "bin";
        for (const char* d : c.dirs)
            fs::create_directories(root / d);
        LayoutEnvironment env;
        env.userConfig = xdg;
        env.libDir = c.libDir;
        const Layout l = Determine(bin, c.given, env);
        ASSERT_TRUE(l.ok) << l.err;
        EXPECT_EQ(l.err, "");
        const auto expect = [&](const wxString& given, const std::string& rel, const fs::path& fallback) {
            return rel == "=" ? given.utf8_string() : rel.empty() ? fallback.string() : (root / rel).string();
        };
        const std::string config = expect(c.given.config, c.config, xdg);
        const std::string data = expect(c.given.data, c.data, {});
        const std::string plugins = expect(c.given.plugins, c.plugins, {});
        const std::string locale = expect(c.given.locale, c.locale, {});
        EXPECT_EQ(l.folders.config.utf8_string(), config);
        EXPECT_EQ(l.folders.data.utf8_string(), data);
        EXPECT_EQ(l.folders.plugins.utf8_string(), plugins);
        EXPECT_EQ(l.folders.locale.utf8_string(), locale);
        EXPECT_EQ(l.out, Head(bin) + kBinLine +
                             " - System wide installaton (parent directory has a 'share' directory)\n"
                             " - Configuration directory: " + config + "\n - Data directory: " + data +
                             "\n - Plug-in directory: " + plugins + "\n - Locale directory: " + locale + "\n");
        // Created on first start, private to its user, only when it is the one used.
        EXPECT_EQ(fs::is_directory(xdg), c.config.empty());
        if (c.config.empty()) {
            EXPECT_EQ(fs::status(xdg).permissions() & fs::perms::all, fs::perms::owner_all);
        }
    }
}

TEST_F(LayoutTest, InstalledTreeStartsAgainAndFailsWithoutAConfigurationFolder)
{
    const fs::path bin = Make({"bin", "share"});
    LayoutEnvironment env;
    env.userConfig = root / "config" / "plexord";
    ASSERT_TRUE(Determine(bin, {}, env).ok);
    test::WriteFile((env.userConfig / "plexord.ini").string(), "kept");
    Layout l = Determine(bin, {}, env);
    ASSERT_TRUE(l.ok) << l.err;
    EXPECT_EQ(test::ReadFile((env.userConfig / "plexord.ini").string()), "kept");

    // No folder to be had: a failure, not an empty configuration folder.
    l = Determine(bin, {}, LayoutEnvironment{});
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.err, " ! Neither XDG_CONFIG_HOME nor HOME names a configuration directory\n");

    test::WriteFile((root / "file").string(), "");
    env.userConfig = root / "file" / "plexord";
    l = Determine(bin, {}, env);
    EXPECT_FALSE(l.ok);
    EXPECT_TRUE(l.err.starts_with(" ! Can't create configuration directory " + env.userConfig.string() + ": "))
        << l.err;

    // A folder given on the command line needs none of the user's.
    l = Determine(bin, {"/given/config", "", "", ""}, env);
    EXPECT_TRUE(l.ok) << l.err;
}

TEST(UserConfigFolder, FollowsTheBaseDirectoryRules)
{
    struct Case
    {
        const char* xdg;
        const char* home;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/x/conf", "/home/u", "/x/conf/plexord"},
        {nullptr, "/home/u", "/home/u/.config/plexord"},
        {"", "/home/u", "/home/u/.config/plexord"},
        {"relative/conf", "/home/u", "/home/u/.config/plexord"},
        {nullptr, "", ""},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UserConfigFolder(c.xdg, c.home).string(), c.expected) << (c.xdg ? c.xdg : "(unset)");
}

TEST_F(LayoutTest, FailuresSayWhy)
{
    const fs::path bin = Make({"bin", "elsewhere"});
    Layout l = Determine(root / "elsewhere");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.out, Head(root / "elsewhere"));
    EXPECT_EQ(l.err, " ! CWD is not 'bin'. Can't determine installation type.\n");

    l = Determine(root / "missing" / "bin");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.err, " ! Current working directory is not a directory!\n");

    // A plain file named "bin" is not a working directory either.
    test::WriteFile((root / "elsewhere" / "bin").string(), "");
    l = Determine(root / "elsewhere" / "bin");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.err, " ! Current working directory is not a directory!\n");

    l = Determine(bin);
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.out, Head(bin) + kBinLine);
    EXPECT_EQ(l.err, " ! Can't determine installation type\n");
    EXPECT_EQ(l.folders.config, "");
}

TEST_F(LayoutTest, TrailingSeparatorNamesTheSameFolder)
{
    Make({"bin", "images"});
    const Layout l = Determine(fs::path(root.string() + "/bin/"));
    ASSERT_TRUE(l.ok) << l.err;
    EXPECT_EQ(l.folders.plugins, (root / "plugins").string());
}

struct Parsed
{
    CommandLineResult result;
    Folders folders;
    std::string out;
};

Parsed Parse(std::vector<wxString> args)
{
    Parsed p;
    std::ostringstream out;
    p.result = ParseCommandLine(args, p.folders, out);
    p.out = out.str();
    return p;
}

class CommandLineTest : public ::testing::Test
{
protected:
    void TearDown() override { buslink_set_debug_level(m_saved); }
    int m_saved = buslink_get_debug_level();
};

TEST_F(CommandLineTest, DebugLevelTakesTheNextNumber)
{
    const Parsed p = Parse({"--debug-level", "3"});
    EXPECT_TRUE(p.result.debugLevel);
    EXPECT_EQ(buslink_get_debug_level(), 3);
    EXPECT_EQ(p.out, "Debug level: 3\n");
}

TEST_F(CommandLineTest, DebugLevelLastMeansTen)
{
    const Parsed p = Parse({"--data-path", "/d", "--debug-level"});
    EXPECT_EQ(buslink_get_debug_level(), 10);
    EXPECT_EQ(p.out, "Debug level: 10\n");
    EXPECT_EQ(p.folders.data, "/d");
}

TEST_F(CommandLineTest, DebugLevelLeavesAnOptionAfterItToTheScan)
{
    const Parsed p = Parse({"--debug-level", "--plugin-path", "/p", "--debug-level", "7x"});
    EXPECT_EQ(p.out, "Debug level: 10\nDebug level: 10\n");
    EXPECT_EQ(p.folders.plugins, "/p");
}

TEST_F(CommandLineTest, PathsAreTakenAndOtherArgumentsIgnored)
{
    const Parsed p = Parse({"stray", "--plugin-path", "/p", "-x", "--data-path", "/d", "--data-path"});
    EXPECT_EQ(p.folders.plugins, "/p");
    EXPECT_EQ(p.folders.data, "/d");
    EXPECT_EQ(p.out, "");
    EXPECT_FALSE(p.result.debugLevel);
    // Standard output is no terminal here, so there is no console to open.
    EXPECT_FALSE(Parse({"--console"}).result.console);
}

TEST(Geometry, KeptOnScreen)
{
    FrameGeometry g{5000, 100, 800, 600, false};
    KeepOnScreen(g, wxSize(1920, 1080));
    EXPECT_EQ(g.left, 1120);
    EXPECT_EQ(g.top, 100);

    FrameGeometry unset;
    KeepOnScreen(unset, wxSize(1920, 1080));
    EXPECT_EQ(unset.left, 0);
    EXPECT_EQ(unset.top, 3);
    EXPECT_EQ(unset.width, -1);

    FrameGeometry low{10, 900, 400, 400, false};
    KeepOnScreen(low, wxSize(1920, 1080));
    EXPECT_EQ(low.top, 680);

    // Larger than the screen: the top left corner stays visible.
    FrameGeometry huge{10, 10, 3000, 2000, false};
    KeepOnScreen(huge, wxSize(1920, 1080));
    EXPECT_EQ(huge.left, 0);
    EXPECT_EQ(huge.top, 3);

    // Position plus size beyond the int range still lands on the screen.
    FrameGeometry far{2000000000, 2000000000, 2000000000, 2000000000, false};
    KeepOnScreen(far, wxSize(1920, 1080));
    EXPECT_EQ(far.left, 0);
    EXPECT_EQ(far.top, 3);
}

TEST(Geometry, SizesNoFrameCanHaveCountAsUnset)
{
    struct Case
    {
        const char* text;
        FrameGeometry expected;
    };
    const Case cases[] = {
        {"MainFrmWidth=0\nMainFrmHeight=0\n", {-1, -1, -1, -1, false}},
        {"MainFrmWidth=-5\nMainFrmHeight=-300\n", {-1, -1, -1, -1, false}},
        {"MainFrmWidth=-1\nMainFrmHeight=480\n", {-1, -1, -1, 480, false}},
        {"MainFrmLeft=-20\nMainFrmTop=-1\nMainFrmWidth=640\nMainFrmHeight=-2\n", {-20, -1, 640, -1, false}},
        {"MainFrmWidth=1\nMainFrmHeight=1\n", {-1, -1, 1, 1, false}},
        {"MainFrmLeft=4294967296\nMainFrmWidth=-4294967296\nMainFrmHeight=4294967297\n", {-1, -1, -1, -1, false}},
    };
    test::TempDir tmp;
    const std::string file = tmp.file("gui.ini");
    for (const Case& c : cases) {
        test::WriteFile(file, std::string("[opsdesk]\n") + c.text);
        const FrameGeometry g = ReadGeometry(wxString::FromUTF8(file));
        EXPECT_EQ(g, c.expected) << c.text << "gives " << g.left << " " << g.top << " " << g.width << " " << g.height;
    }
}

TEST(Geometry, TrackingKeepsTheLastNormalPlace)
{
    FrameGeometry g;
    TrackGeometry(g, wxRect(10, 20, 640, 480), false, false);
    EXPECT_EQ(g, (FrameGeometry{10, 20, 640, 480, false}));

    TrackGeometry(g, wxRect(0, 0, 1920, 1080), true, false);
    EXPECT_EQ(g, (FrameGeometry{10, 20, 640, 480, true}));

    TrackGeometry(g, wxRect(-32000, -32000, 160, 24), false, true);
    EXPECT_EQ(g, (FrameGeometry{10, 20, 640, 480, false}));

    TrackGeometry(g, wxRect(-1, 50, -1, 300), false, false);
    EXPECT_EQ(g, (FrameGeometry{10, 50, 640, 300, false}));
}

TEST(Geometry, GuiIniRoundTrip)
{
    test::TempDir tmp;
    const wxString path = wxString::FromUTF8(tmp.file("gui.ini"));

    EXPECT_EQ(ReadGeometry(path), FrameGeometry());

    test::WriteFile(tmp.file("gui.ini"), "[other]\nkeep=1\n");
    FrameGeometry g;
    TrackGeometry(g, wxRect(30, 40, 700, 500), false, false);
    TrackGeometry(g, wxRect(0, 0, 1280, 800), true, false);
    ASSERT_TRUE(WriteGeometry(path, g));
    EXPECT_EQ(ReadGeometry(path), (FrameGeometry{30, 40, 700, 500, true}));

    const std::string text = test::ReadFile(tmp.file("gui.ini"));
    EXPECT_NE(text.find("MainFrmMaximized=1"), std::string::npos) << text;
    EXPECT_NE(text.find("keep=1"), std::string::npos) << text;

    test::WriteFile(tmp.file("gui.ini"), "[opsdesk]\nMainFrmLeft=5\nMainFrmMaximized=2\n");
    EXPECT_EQ(ReadGeometry(path), (FrameGeometry{5, -1, -1, -1, true}));
}

TEST(Translations, MissingCataloguesAreReportedThenFound)
{
    test::TempDir empty;
    {
        wxLocale locale;
        std::ostringstream err;
        EXPECT_EQ(LoadTranslations(empty.wxpath(), locale, err), 0);
        EXPECT_EQ(err.str(), " ! Failed to open translation for widgetkit\n"
                             " ! Failed to open translation for libplexord\n"
                             " ! Failed to open translation for opsdesk\n");
        EXPECT_EQ(_("Networks"), "Networks");
    }
    wxLocale locale;
    std::ostringstream err;
    EXPECT_EQ(LoadTranslations(OPSDESK_TEST_LOCALE_DIR, locale, err), 3) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(_("Networks"), wxString::FromUTF8("Nätverk"));
    EXPECT_EQ(wxString::Format(_("Readings: %d (%d failed)\n"), 4, 1),
              wxString::FromUTF8("Läsningar: 4 (1 misslyckade)\n"));
    EXPECT_EQ(wxGetTranslation("Time-out"), wxString::FromUTF8("Tidsgränsen överskreds"));
    // The toolkit's texts too: wx's stock labels, and GTK's (stock buttons,
    // file dialogs), even where the system has no Swedish locale.
    EXPECT_EQ(wxGetStockLabel(wxID_CANCEL), "&Avbryt");
    EXPECT_EQ(wxGetStockLabel(wxID_REFRESH), "Uppdatera");
    bind_textdomain_codeset("gtk30", "UTF-8"); // as GTK does
    EXPECT_STREQ(dgettext("gtk30", "_Cancel"), "_Avbryt");
    EXPECT_STREQ(dgettext("gtk30", "_Open"), "_Öppna");

    // The core's composed result texts, part by part.
    const struct {
        const char *core, *shown;
    } texts[] = {
        {"Time-out", "Tidsgränsen överskreds"},
        {"Time-out (code 102)", "Tidsgränsen överskreds (kod 102)"},
        {"Unknown setpoint (db: Unknown setpoint, code 3)", "Okänt börvärde (db: Okänt börvärde, kod 3)"},
        {"Driver error (modbus/tcp: no link, code 7)", "Drivrutinsfel (modbus/tcp: no link, kod 7)"},
        {"File error (Filen finns inte)", "Filfel (Filen finns inte)"},
        {"Error 4097 (code 2)", "Fel 4097 (kod 2)"},
        {"Time-out (code x)", "Tidsgränsen överskreds (code x)"},
        {"Not from the core (", "Not from the core ("},
    };
    for (const auto& t : texts)
        EXPECT_EQ(TranslateCoreText(wxString::FromUTF8(t.core)), wxString::FromUTF8(t.shown)) << t.core;
    EXPECT_EQ(ResultText(ncerr_t{NCERR_TIMEOUT, 102}), wxString::FromUTF8("Tidsgränsen överskreds (kod 102)"));
    wxTranslations::Set(nullptr);
    unsetenv("LANGUAGE");
    EXPECT_EQ(TranslateCoreText("Time-out (code 102)"), "Time-out (code 102)");
}

TEST(SingleInstance, NameHoldsTheUserId)
{
    EXPECT_EQ(SingleInstanceName(), wxString::Format("plexor-%u", static_cast<unsigned>(getuid())));
}

} // namespace
