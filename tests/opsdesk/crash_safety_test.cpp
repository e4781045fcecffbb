// The files the console and its core write must survive the process being
// killed at any moment: a child saves in a loop, each save with other
// content, and is killed with SIGKILL after a random short time. The file
// must then be one whole version (the one before or one the child wrote),
// and a later save must still work.
#include "backup.h"
#include "startup.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 100;

// Runs save(n) for n = first, first + 1, ... in a child until it is killed,
// 0 to 20 ms after the child has said it is ready. False when the child
// ended by itself (a save failed).
bool KillWhileSaving(std::mt19937& random, long first, const std::function<void()>& prepare,
                     const std::function<bool(long)>& save)
{
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        prepare();
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1)
            _exit(2);
        for (long n = first;; ++n)
            if (!save(n))
                _exit(1);
    }
    close(ready[1]);
    char byte = 0;
    const bool started = child > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (started)
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<>(0, 20000)(random)));
    int status = 0;
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    return started && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// The number after "key" in the text, or -1.
long NumberAfter(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size());
}

// Temporary files left in the folder.
int Leftovers(const std::string& folder)
{
    int n = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        n += entry.path().filename().string().find(".tmp") != std::string::npos;
    return n;
}

class CrashSafety : public ::testing::Test
{
protected:
    // After each kill: the file is a whole version, and the parent's own
    // save over it (as the next run of the program would) works.
    void Check(const std::string& path, const std::string& key, const std::function<std::string(long)>& expected,
               const std::function<bool(long)>& save, long next)
    {
        const std::string text = test::ReadFile(path);
        const long n = NumberAfter(text, key);
        ASSERT_GE(n, 0) << "no version in:\n" << text;
        ASSERT_EQ(text, expected(n)) << "version " << n << " is not whole";
        ASSERT_TRUE(save(next));
        ASSERT_EQ(test::ReadFile(path), expected(next));
    }

    std::mt19937 random{std::random_device{}()};
    test::TempDir dir;
};

BackupData MakeBackup(long n)
{
    BackupData data;
    data.device = "Boiler " + std::to_string(n);
    data.hardware = "TC-200 Temperature controller";
    for (int g = 0; g < 4; ++g) {
        BackupGroup group;
        group.name = "Group " + std::to_string(g);
        for (int i = 0; i < 30; ++i)
            group.values.push_back(BackupValue{"SP" + std::to_string(i), "", true, double(n % 1000 + i), {1, 0}});
        data.groups.push_back(group);
    }
    return data;
}

TEST_F(CrashSafety, BackupFile)
{
    const std::string path = dir.file("boiler.xml");
    const auto save = [&](long n) { return MakeBackup(n).Save(path) == BACKUP_OK; };
    test::TempDir scratch;
    const auto expected = [&](long n) {
        MakeBackup(n).Save(scratch.file("x.xml"));
        return test::ReadFile(scratch.file("x.xml"));
    };
    ASSERT_GT(expected(0).size(), 2000u);
    ASSERT_TRUE(save(0));
    for (int run = 1; run <= kRuns; ++run) {
        ASSERT_TRUE(KillWhileSaving(random, run * 100000L, [] {}, save)) << "run " << run;
        Check(path, "device=\"Boiler ", expected, save, run * 100000L - 1);
        if (HasFatalFailure())
            return;
    }
    // The next save clears what the killed ones left.
    EXPECT_EQ(Leftovers(dir.path()), 0) << "temporary files of killed backup saves";
}

TEST_F(CrashSafety, GuiIni)
{
    const std::string path = dir.file("gui.ini");
    const std::string others = "[other]\nkeep=" + std::string(3000, 'x') + "\n";
    const auto geometry = [](long n) {
        return FrameGeometry{static_cast<int>(n), 20, 640 + static_cast<int>(n % 100), 480, n % 2 == 1};
    };
    const auto save = [&](long n) { return WriteGeometry(wxString::FromUTF8(path), geometry(n)); };
    test::TempDir scratch;
    const auto expected = [&](long n) {
        test::WriteFile(scratch.file("gui.ini"), others);
        WriteGeometry(wxString::FromUTF8(scratch.file("gui.ini")), geometry(n));
        return test::ReadFile(scratch.file("gui.ini"));
    };
    test::WriteFile(path, others);
    ASSERT_TRUE(save(0));
    for (int run = 1; run <= kRuns; ++run) {
        ASSERT_TRUE(KillWhileSaving(random, run * 100000L, [] {}, save)) << "run " << run;
        Check(path, "MainFrmLeft=", expected, save, run * 100000L - 1);
        if (HasFatalFailure())
            return;
    }
    // The next save clears what the killed ones left.
    EXPECT_EQ(Leftovers(dir.path()), 0) << "temporary files of killed gui.ini saves";
}

void NoEvents(const ncevent_t*)
{
}

bool Init(const std::string& config)
{
    return ncerr_is_ok(plexord_init(config.c_str(), OPSDESK_TEST_DATA_DIR, OPSDESK_TEST_PLUGIN_DIR, &NoEvents,
                                    PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN, nullptr)) &&
           ncerr_is_ok(plexord_load_plugins()) && ncerr_is_ok(plexord_load_config());
}

// Renames the first network: each save differs in that name.
bool SaveConfig(long n)
{
    network_t* network = networkmgr_fetch_network(1, 1000);
    if (!network)
        return false;
    const std::string name = "Plant " + std::to_string(n);
    network_set(network, "name", name.c_str(), static_cast<char*>(nullptr));
    networkmgr_drop_network(network);
    return ncerr_is_ok(plexord_save_config());
}

TEST_F(CrashSafety, CoreConfiguration)
{
    // A configuration of several networks, devices and users; its password
    // hashes are salted, so every process loads this one file.
    ASSERT_TRUE(Init(dir.path()));
    for (int i = 0; i < 4; ++i) {
        const std::string name = i == 0 ? "Plant 0" : "Line " + std::to_string(i);
        const uint16_t network = test::AddDbNetwork(name.c_str(), dir.file("plant" + std::to_string(i) + ".ini"));
        for (int d = 0; d < 5; ++d) {
            const std::string device = "Device " + std::to_string(i) + "." + std::to_string(d);
            test::AddDevice(network, device.c_str(), device.c_str(), "TC-200 Temperature controller");
        }
    }
    for (int u = 0; u < 5; ++u) {
        user_t* user = user_new();
        user_set_name(user, ("operator" + std::to_string(u)).c_str());
        user_set_password(user, "secret");
        user_set_read_access(user, "*");
        usermanager_add_user(user);
    }
    ASSERT_TRUE(SaveConfig(0));
    plexord_finalize();
    const std::string path = dir.file("plexord.ini");
    ASSERT_GT(test::ReadFile(path).size(), 2000u);

    // Each version as the core writes it, from a core of this process after
    // the runs (no core may run here while children are forked).
    std::map<long, std::string> seen;
    for (int run = 1; run <= kRuns; ++run) {
        const bool killed = KillWhileSaving(
            random, run * 100000L,
            [&] {
                if (!Init(dir.path()))
                    _exit(3);
            },
            &SaveConfig);
        ASSERT_TRUE(killed) << "run " << run;
        const std::string text = test::ReadFile(path);
        const long n = NumberAfter(text, "name=Plant ");
        ASSERT_GE(n, 0) << "no version in:\n" << text;
        seen.emplace(n, text);
    }
    test::TempDir reference;
    fs::copy_file(path, reference.file("plexord.ini"));
    ASSERT_TRUE(Init(reference.path()));
    for (const auto& [n, text] : seen) {
        ASSERT_TRUE(SaveConfig(n));
        EXPECT_EQ(text, test::ReadFile(reference.file("plexord.ini"))) << "version " << n << " is not whole";
    }
    plexord_finalize();
    // A later save over what the last kill left still works.
    ASSERT_TRUE(Init(dir.path()));
    EXPECT_TRUE(SaveConfig(7));
    plexord_finalize();
    EXPECT_NE(test::ReadFile(path).find("name=Plant 7\n"), std::string::npos);
    // The next save clears what the killed ones left.
    EXPECT_EQ(Leftovers(dir.path()), 0) << "temporary files of killed configuration saves";
}

} // namespace
