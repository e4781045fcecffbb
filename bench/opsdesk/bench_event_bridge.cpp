// Core events through the event bridge to the main frame and 200 device
// panels, dispatched on the user-interface thread, against the toolkit's bare
// CallAfter in the same run. Prints both rates and their ratio.
// Run with a display: xvfb-run -a build/bench/bench_event_bridge
#include "eventbridge.h"
#include "images.h"
#include "mainframe.h"
#include "status-window.h"

#include <plexord.h>

#include <wx/app.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 200;
constexpr int kEvents = 100000;
constexpr int kRounds = 3;

std::atomic<int> g_posted{0};

// The bridge's callback, counting what the core's event thread handed over.
void CountingCallback(const ncevent_t* event)
{
    EventBridge::CoreCallback(event);
    g_posted.fetch_add(1, std::memory_order_relaxed);
}

bool WaitUntil(const std::function<bool()>& done, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
        if (Clock::now() > deadline)
            return false;
    }
    return true;
}

class BenchApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};

} // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new BenchApp);
    wxEntryStart(argc, argv);
    if (!wxTheApp || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, " ! cannot start the toolkit (no display?)\n");
        return 1;
    }
    RegisterImageHandlers();

    char config[] = "/tmp/opsdesk-bench-XXXXXX";
    if (!mkdtemp(config))
        return 1;
    int result = 0;
    {
        EventBridge bridge;
        plexord_init(config, OPSDESK_BENCH_DATA_DIR, OPSDESK_BENCH_PLUGIN_DIR, &CountingCallback,
                     PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, nullptr);
        plexord_load_plugins();
        plexord_load_config();
        plexord_start();
        SetImageFolder(wxString(OPSDESK_BENCH_DATA_DIR) + "/images");

        FrameGeometry geometry;
        auto* frame = new MainFrame(bridge, geometry, "bench", wxPoint(0, 3), wxSize(420, 700));
        frame->Show();

        network_t* network = plexord_create_network("db");
        const std::string setpoints = std::string(config) + "/bench.ini";
        network_set(network, "name", "Bench", "filename", setpoints.c_str(), "delay", 0,
                    static_cast<char*>(nullptr));
        const uint16_t networkId = network_get_id(network);
        networkmgr_add_network(network);
        std::vector<uint16_t> devices;
        for (int i = 0; i < kDevices; ++i) {
            device_t* device = device_new(networkId);
            device_set_name(device, ("Device " + std::to_string(i)).c_str());
            devices.push_back(device->id);
            devicemgr_add_device(device);
        }
        if (!WaitUntil([&] { return frame->GetDevicePanels().size() == kDevices; }, 60000)) {
            std::fprintf(stderr, " ! the device panels did not appear\n");
            return 1;
        }

        double bridgeBest = 0, callAfterBest = 0;
        for (int round = 0; round < kRounds; ++round) {
            // Queue the core events first, so that the timing covers the
            // user-interface thread's dispatch alone.
            g_posted = 0;
            for (int i = 0; i < kEvents; ++i) {
                const uint16_t device = devices[i % kDevices];
                const ncerr_t result = i % 8 == 7 ? ncerr_t{NCERR_TIMEOUT, 0} : ncerr_ok();
                ncevent_throw_io_event(NCEVENT_READ_REQUEST + (i / kDevices) % 4, networkId, device, 0, "PV", "", i,
                                       result);
            }
            while (g_posted.load() < kEvents)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // The failures print "Error: ..." lines; keep them out of the figures.
            std::FILE* devnull = std::fopen("/dev/null", "w");
            bridge.SetOutput(devnull, devnull);
            const auto t0 = Clock::now();
            wxTheApp->ProcessPendingEvents();
            const double bridgeSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
            bridge.SetOutput(stdout, stderr);
            std::fclose(devnull);

            std::atomic<int> called{0};
            std::thread producer([&] {
                for (int i = 0; i < kEvents; ++i)
                    wxTheApp->CallAfter([&called] { called.fetch_add(1, std::memory_order_relaxed); });
            });
            producer.join();
            const auto t1 = Clock::now();
            wxTheApp->ProcessPendingEvents();
            const double callAfterSeconds = std::chrono::duration<double>(Clock::now() - t1).count();
            if (called.load() != kEvents) {
                std::fprintf(stderr, " ! only %d of %d calls ran\n", called.load(), kEvents);
                result = 1;
            }
            bridgeBest = std::max(bridgeBest, kEvents / bridgeSeconds);
            callAfterBest = std::max(callAfterBest, kEvents / callAfterSeconds);
            // Let the lamps' timers and the paints run between rounds.
            WaitUntil([] { return false; }, 300);
        }

        DevicePanel* first = frame->GetDevicePanels().front();
        std::printf("core events dispatched to the main frame and %d device panels: %.0f events/s\n", kDevices,
                    bridgeBest);
        std::printf("bare CallAfter on the same thread:                          %.0f calls/s\n", callAfterBest);
        std::printf("ratio bridge / CallAfter: %.3f\n", bridgeBest / callAfterBest);
        std::printf("(first panel counted %d reads, %d writes)\n", first->GetReads(), first->GetWrites());

        delete frame;
        plexord_stop();
        plexord_finalize();
    }
    std::filesystem::remove_all(config);
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
