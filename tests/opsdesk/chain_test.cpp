// Servers chained through "plexor" networks: the console's core reaches the
// demo plant of a headless server through a second one; and the console's
// own server shows, counts and asks about its remote client.
#include "eventbridge.h"
#include "gui_support.h"
#include "mainframe.h"
#include "startup.h"
#include "support.h"

#include <buslink.h>

#include <gtest/gtest.h>

#include <wx/weakref.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void Quiet(const ncevent_t*) {}

// plexord-server as a child, in a build-tree layout of its own; killed and
// reaped whatever the test did.
class ServerChild
{
public:
    ServerChild(const fs::path& root, const std::string& config, std::vector<std::string> args)
        : m_out(root / "out")
    {
        fs::create_directories(root / "bin");
        fs::create_directory_symlink(OPSDESK_TEST_DATA_DIR, root / "data");
        fs::create_directory_symlink(OPSDESK_TEST_PLUGIN_DIR, root / "bin" / "plugins");
        args.insert(args.begin(), {"plexord-server", "--config", config, "--listen", "127.0.0.1:0"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = m_out.string(), bin = (root / "bin").string(), home = root.string();
        m_pid = fork();
        if (m_pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || dup2(o, 1) < 0 || dup2(o, 2) < 0 || chdir(bin.c_str()) != 0 || setenv("HOME", home.c_str(), 1))
                _exit(126);
            execv(CHAIN_SERVER_PROGRAM, argv.data());
            _exit(127);
        }
    }
    ~ServerChild()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    std::string Out() const { return test::ReadFile(m_out.string()); }

    // The port it listens on, or 0 when it ended or did not say in time.
    int Port()
    {
        static const std::regex listening(R"( \* Listening for remote clients on 127\.0\.0\.1:(\d+)\n)");
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        std::smatch m;
        for (std::string out; std::chrono::steady_clock::now() < deadline && Running();
             std::this_thread::sleep_for(10ms))
            if (std::regex_search(out = Out(), m, listening))
                return std::stoi(m[1]);
        return 0;
    }

    // SIGTERM: the exit status, or -1 when it did not end in time.
    int Stop()
    {
        kill(m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (Running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return m_pid < 0 && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

private:
    bool Running()
    {
        if (m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_pid = -1;
        return m_pid > 0;
    }

    fs::path m_out;
    pid_t m_pid = -1;
    int m_status = 0;
};

void AddUser(const char* name, const char* password)
{
    user_t* u = user_new();
    user_set_name(u, name);
    user_set_password(u, password);
    user_set_read_access(u, "*");
    user_set_write_access(u, "*");
    usermanager_add_user(u);
}

uint16_t AddPlexorNetwork(int port, const char* user, const char* password)
{
    network_t* n = plexord_create_network("plexor");
    if (!n)
        throw std::runtime_error("no plexor plug-in");
    network_set(n, "name", "Upstream", "address", "127.0.0.1", "port", port, "username", user, "password", password,
                static_cast<char*>(nullptr));
    const uint16_t id = network_get_id(n);
    networkmgr_add_network(n);
    return id;
}

// Writes a server's configuration through a core of its own, which is then
// closed; demo gives it the demo plant.
void Configure(const std::string& dir, bool demo, const std::function<void()>& build)
{
    const unsigned flags = PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN | (demo ? 0 : PLEXORD_INIT_NO_DEMO);
    ASSERT_TRUE(ncerr_is_ok(
        plexord_init(dir.c_str(), OPSDESK_TEST_DATA_DIR, OPSDESK_TEST_PLUGIN_DIR, Quiet, flags, nullptr)));
    plexord_load_plugins();
    plexord_load_config();
    build();
    EXPECT_TRUE(ncerr_is_ok(plexord_save_config()));
    plexord_finalize();
}

// One request through the device's network, as the console makes it.
ncerr_t Exchange(uint16_t device, const char* item, double* value, bool write)
{
    device_t* d = devicemgr_fetch_device(device, 0);
    if (!d)
        return ncerr_t{NCERR_INVALID, 0};
    const uint16_t net = d->network_id;
    devicemgr_drop_device(d);
    network_t* n = networkmgr_fetch_network(net, 1000);
    if (!n)
        return ncerr_t{NCERR_INVALID, 0};
    network_reset_request(n);
    if (write)
        network_queue_write_float(n, device, item, "", *value);
    else
        network_queue_read_float(n, device, item, "");
    network_flush(n);
    const ncerr_t r = network_result_float(n, device, item, "", value);
    networkmgr_drop_network(n);
    return r;
}

} // namespace

TEST(ServerChain, ConsoleReadsAndWritesTheDemoPlantThroughTwoServers)
{
    test::TempDir root;
    const std::string dirA = root.file("a-config"), dirB = root.file("b-config");
    fs::create_directories(dirA);
    fs::create_directories(dirB);

    // A: the demo plant, and a user for B.
    Configure(dirA, true, [] { AddUser("relay", "pa"); });
    ASSERT_TRUE(fs::exists(fs::path(dirA) / "demo-setpoints.ini"));
    ServerChild a(fs::path(root.path()) / "a", dirA, {});
    const int portA = a.Port();
    ASSERT_GT(portA, 0) << a.Out();

    // B: nothing of its own; its "Boiler" is A's, and the console logs in to it.
    Configure(dirB, false, [&] {
        const uint16_t net = AddPlexorNetwork(portA, "relay", "pa");
        test::AddDevice(net, "Boiler", "Boiler");
        AddUser("console", "pb");
    });
    ServerChild b(fs::path(root.path()) / "b", dirB, {"--no-demo"});
    const int portB = b.Port();
    ASSERT_GT(portB, 0) << b.Out();

    {
        test::TempDir console;
        EventBridge bridge;
        test::CoreRun core(console.path());
        const uint16_t net = AddPlexorNetwork(portB, "console", "pb");
        const uint16_t far = test::AddDevice(net, "FarBoiler", "Boiler");

        // The demo's values as A holds them; the first exchange may still
        // find the link being made.
        struct Read
        {
            const char* item;
            double value;
        } reads[] = {{"SP2", 55}, {"SPHI", 85}, {"PB", 8}};
        for (const Read& r : reads) {
            double v = -1;
            ncerr_t res{};
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!ncerr_is_ok(res = Exchange(far, r.item, &v, false)) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(50ms);
            EXPECT_TRUE(ncerr_is_ok(res)) << r.item << ": " << ncerr_get_string(res) << "\nB:\n" << b.Out();
            EXPECT_DOUBLE_EQ(v, r.value) << r.item;
        }

        double sp = 66.5;
        ASSERT_TRUE(ncerr_is_ok(Exchange(far, "SP1", &sp, true))) << b.Out();
        EXPECT_NE(test::ReadFile(dirA + "/demo-setpoints.ini").find("SP1=66.5"), std::string::npos)
            << test::ReadFile(dirA + "/demo-setpoints.ini");
        sp = 0;
        EXPECT_TRUE(ncerr_is_ok(Exchange(far, "SP1", &sp, false)));
        EXPECT_DOUBLE_EQ(sp, 66.5);
        // A name the remote lacks fails rather than reading something else.
        double none = -1;
        EXPECT_FALSE(ncerr_is_ok(Exchange(test::AddDevice(net, "Ghost", "NoSuchDevice"), "SP1", &none, false)));
        core.Finish();
    }

    EXPECT_EQ(b.Stop(), 0) << b.Out();
    EXPECT_EQ(a.Stop(), 0) << a.Out();
    // A kept the written setpoint across its save and stop.
    EXPECT_NE(test::ReadFile(dirA + "/demo-setpoints.ini").find("SP1=66.5"), std::string::npos);
}

class ServingConsole : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ncerr_is_ok(plexord_set_listen("127.0.0.1", 0)));
        plexord_stop();
        ASSERT_TRUE(ncerr_is_ok(plexord_start()));
        port = plexord_get_listen_port();
        ASSERT_GT(port, 0);
        AddUser("viewer", "pv");
        frame = new MainFrame(bridge, geometry, "Plexor server", wxPoint(0, 3), wxSize(420, 560));
        frame->Show();
        ref = frame;
        client = plexor_new();
        plexor_set_timeout(client, 5000);
    }
    void TearDown() override
    {
        plexor_delete(client);
        if (ref && !wxTheApp->IsScheduledForDestruction(ref.get()))
            delete ref.get();
        wxTheApp->ProcessIdle();
        core.Finish();
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    FrameGeometry geometry;
    MainFrame* frame = nullptr;
    wxWeakRef<MainFrame> ref;
    plexor_client_t* client = nullptr;
    int port = 0;
};

TEST_F(ServingConsole, ARemoteClientIsShownCountedAndAskedAboutOnClose)
{
    ASSERT_EQ(plexor_connect(client, "127.0.0.1", port, "viewer", "pv"), PLEXOR_SUCCESS);
    ASSERT_EQ(plexor_sync_devicelist(client), PLEXOR_SUCCESS);
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetClientPanels().size() == 1; }));
    EXPECT_EQ(clientmanager_get_client_count(), 1);

    wxString message;
    wxTEST_DIALOG(frame->Close(), test::AnswerMessage(wxID_NO, &message));
    EXPECT_EQ(message, "There are 1 clients connected\n\nAre you sure you want to quit?");
    EXPECT_FALSE(wxTheApp->IsScheduledForDestruction(frame));
    EXPECT_TRUE(frame->IsShown());

    // Gone again: the panel goes, and closing no longer asks.
    plexor_disconnect(client);
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetClientPanels().empty(); }));
    EXPECT_EQ(clientmanager_get_client_count(), 0);
    PlexordTestingModalHook noDialog(__FILE__, __LINE__, "no question without clients");
    frame->Close();
    EXPECT_TRUE(!ref || wxTheApp->IsScheduledForDestruction(ref.get()));
}
