#include "support.h"

#include "eventbridge.h"
#include "images.h"
#include "status-window.h"

#include <wx/app.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "opsdesk-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

CapturedFile::CapturedFile()
    : m_file(open_memstream(&m_buffer, &m_size))
{
}

CapturedFile::~CapturedFile()
{
    std::fclose(m_file);
    std::free(m_buffer);
}

std::string CapturedFile::text()
{
    std::fflush(m_file);
    return std::string(m_buffer, m_size);
}

CoreRun::CoreRun(const std::string& configDir, bool demo, const char* dataDir)
{
    RegisterImageHandlers();
    const unsigned flags = PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN | (demo ? 0 : PLEXORD_INIT_NO_DEMO);
    const ncerr_t r = plexord_init(configDir.c_str(), dataDir, OPSDESK_TEST_PLUGIN_DIR,
                                   &EventBridge::CoreCallback, flags, nullptr);
    if (!ncerr_is_ok(r))
        throw std::runtime_error(std::string("plexord_init: ") + ncerr_get_string(r));
    plexord_load_plugins();
    plexord_load_config();
    plexord_start();
    SetImageFolder(wxString(OPSDESK_TEST_DATA_DIR) + "/images");
}

CoreRun::~CoreRun()
{
    Finish();
}

void CoreRun::Finish()
{
    if (!m_running)
        return;
    m_running = false;
    plexord_stop();
    plexord_finalize();
}

uint16_t AddDbNetwork(const char* name, const std::string& setpointFile)
{
    network_t* network = plexord_create_network("db");
    if (!network)
        throw std::runtime_error("no db plug-in");
    network_set(network, "name", name, "filename", setpointFile.c_str(), "delay", 0, static_cast<char*>(nullptr));
    const uint16_t id = network_get_id(network);
    networkmgr_add_network(network);
    return id;
}

uint16_t AddDevice(uint16_t network, const char* name, const char* address, const char* hardware)
{
    device_t* device = device_new(network);
    device_set_name(device, name);
    device_set_address(device, address);
    if (hardware)
        device_set_hardware(device, hardware);
    const uint16_t id = device->id;
    devicemgr_add_device(device);
    return id;
}

void Deliver(int type, uint32_t client, uint16_t device, uint16_t network, ncerr_t result, const char* text)
{
    ncevent_t event{};
    event.type = type;
    event.result = result;
    event.client_id = client;
    event.device_id = device;
    event.network_id = network;
    if (type == NCEVENT_LOG)
        event.message = const_cast<char*>(text);
    else
        event.client_text = const_cast<char*>(text);
    event.item = const_cast<char*>("PV");
    event.flag = const_cast<char*>("");
    EventBridge::CoreCallback(&event);
}

bool WaitFor(const std::function<bool()>& pred, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (wxTheApp) {
            wxTheApp->ProcessPendingEvents();
            wxTheApp->Yield(true);
        }
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Settle(EventBridge& bridge)
{
    struct Marker
    {
        bool arrived = false;
        void On(wxNCEvent& e) { arrived = arrived || e.GetItem() == "marker"; }
    } marker;
    Listener<Marker, wxNCEvent&> listener(&marker, &Marker::On);
    bridge.onEvent.Subscribe(listener);
    ncevent_throw_io_event(NCEVENT_WRITE_REQUEST, 0, 0, 0, "marker", "", 0, kOk);
    const bool arrived = WaitFor([&] { return marker.arrived; });
    bridge.onEvent.Remove(listener);
    return arrived;
}

void Pump(int ms)
{
    WaitFor([] { return false; }, ms);
}

} // namespace test
