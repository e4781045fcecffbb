// An activity log window with "Enabled" ticked, fed read and write results
// through the core and the event bridge until it holds a million rows. Each
// figure stands beside a reference from the same run: the same events with no
// log window open, and the same lines written with plain fwrite.
// Run with a display: xvfb-run -a build/bench/bench_spylog
#include "eventbridge.h"
#include "images.h"
#include "spyfrm.h"

#include <plexord.h>

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/timer.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kRows = 1000000;
constexpr int kDevices = 20;
// Events posted but not yet dispatched; the producer waits beyond this, as a
// real server's clients wait for their answers.
constexpr long kInFlight = 20000;
constexpr int kTickMs = 10;

class BenchApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};

// Resident set of the process, with freed heap handed back first so that
// the figure counts what is alive.
long ResidentBytes()
{
    malloc_trim(0);
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

struct PourResult
{
    double seconds = 0;
    double worstDelayMs = 0;
};

// Counts what the bridge dispatches and ends the loop when all has come.
struct Counter
{
    std::atomic<long> dispatched{0};
    long target = 0;
    wxEventLoopBase* loop = nullptr;

    void OnEvent(wxNCEvent&)
    {
        if (dispatched.fetch_add(1, std::memory_order_relaxed) + 1 == target && loop)
            loop->ScheduleExit();
    }
};

// Posts kRows read and write results from a thread while the user-interface
// thread runs its event loop, and times a periodic timer meanwhile.
PourResult Pour(Counter& counter, uint16_t network, const std::vector<uint16_t>& devices)
{
    static const char* const kItems[] = {"T1", "T2", "PV", "SP", "LIMIT", "OUT", "MODE", "ALARM"};
    counter.dispatched = 0;
    counter.target = kRows;

    PourResult result;
    wxTimer tick;
    Clock::time_point last = Clock::now();
    tick.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        const Clock::time_point now = Clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - last).count() - kTickMs;
        result.worstDelayMs = std::max(result.worstDelayMs, late);
        last = now;
    });

    wxGUIEventLoop loop;
    counter.loop = &loop;
    const Clock::time_point start = Clock::now();
    std::thread producer([&] {
        for (long i = 0; i < kRows; ++i) {
            while (i - counter.dispatched.load(std::memory_order_relaxed) > kInFlight)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            const int type = i % 2 ? NCEVENT_WRITE_RESULT : NCEVENT_READ_RESULT;
            const ncerr_t status = i % 16 == 15 ? ncerr_t{NCERR_TIMEOUT, 0} : ncerr_ok();
            ncevent_throw_io_event(type, network, devices[i % devices.size()], static_cast<uint32_t>(i % 4),
                                   kItems[i % 8], i % 3 ? "" : "db", i * 0.5, status);
        }
    });
    wxTheApp->CallAfter([&] {
        last = Clock::now();
        tick.Start(kTickMs);
    });
    loop.Run();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    tick.Stop();
    producer.join();
    counter.loop = nullptr;
    return result;
}

void Settle(int ms)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

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
    int failed = 0;
    {
        EventBridge bridge;
        // The failures in the stream print "Error: ..." lines; keep them out.
        std::FILE* devnull = std::fopen("/dev/null", "w");
        bridge.SetOutput(devnull, devnull);
        plexord_init(config, OPSDESK_BENCH_DATA_DIR, OPSDESK_BENCH_PLUGIN_DIR, &EventBridge::CoreCallback,
                     PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, nullptr);
        plexord_load_plugins();
        plexord_load_config();
        plexord_start();

        network_t* network = plexord_create_network("db");
        const std::string setpoints = std::string(config) + "/bench.ini";
        network_set(network, "name", "Bench", "filename", setpoints.c_str(), "delay", 0,
                    static_cast<char*>(nullptr));
        const uint16_t networkId = network_get_id(network);
        networkmgr_add_network(network);
        std::vector<uint16_t> devices;
        for (int i = 0; i < kDevices; ++i) {
            device_t* device = device_new(networkId);
            device_set_name(device, ("Boiler " + std::to_string(i)).c_str());
            devices.push_back(device->id);
            devicemgr_add_device(device);
        }

        Counter counter;
        Listener<Counter, wxNCEvent&> counting(&counter, &Counter::OnEvent);
        bridge.onEvent.Subscribe(counting);
        Settle(300);

        // The same events with no log window.
        const long bareBefore = ResidentBytes();
        const PourResult bare = Pour(counter, networkId, devices);
        Settle(200);
        const long bareAfter = ResidentBytes();

        ShowActivityLog(nullptr);
        SpyFrm* log = nullptr;
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* found = dynamic_cast<SpyFrm*>(window))
                log = found;
        if (!log) {
            std::fprintf(stderr, " ! no activity log window\n");
            return 1;
        }
        wxCheckBox* enabled = log->GetEnabledBox();
        enabled->SetValue(true);
        wxCommandEvent tick(wxEVT_CHECKBOX, enabled->GetId());
        tick.SetEventObject(enabled);
        tick.SetInt(1);
        enabled->ProcessWindowEvent(tick);
        Settle(300);

        const long logBefore = ResidentBytes();
        const PourResult logged = Pour(counter, networkId, devices);
        Settle(200);
        const long logAfter = ResidentBytes();
        const size_t rows = log->GetLog().GetCount();
        if (rows != static_cast<size_t>(kRows) || log->GetList()->GetItemCount() != kRows) {
            std::fprintf(stderr, " ! the log holds %zu rows, its list %d\n", rows, log->GetList()->GetItemCount());
            failed = 1;
        }

        // Saving: the window's streamed save against the same lines, made
        // beforehand, each written with fwrite.
        const std::string saved = std::string(config) + "/saved.txt";
        const std::string plain = std::string(config) + "/plain.txt";
        const Clock::time_point s0 = Clock::now();
        const bool savedOk = log->GetLog().Save(wxString::FromUTF8(saved)) == SpyLog::SaveResult::Saved;
        const double saveSeconds = std::chrono::duration<double>(Clock::now() - s0).count();
        std::vector<std::string> lines(rows);
        for (size_t i = 0; i < rows; ++i)
            log->GetLog().AppendLine(i, lines[i]);
        const Clock::time_point f0 = Clock::now();
        std::FILE* file = std::fopen(plain.c_str(), "wb");
        bool plainOk = file != nullptr;
        for (size_t i = 0; plainOk && i < rows; ++i)
            plainOk = std::fwrite(lines[i].data(), 1, lines[i].size(), file) == lines[i].size();
        plainOk = file && std::fclose(file) == 0 && plainOk;
        const double fwriteSeconds = std::chrono::duration<double>(Clock::now() - f0).count();
        lines.clear();
        lines.shrink_to_fit();
        const auto savedSize = std::filesystem::file_size(saved);
        if (!savedOk || !plainOk || savedSize != std::filesystem::file_size(plain)) {
            std::fprintf(stderr, " ! the saved file differs from the plain one\n");
            failed = 1;
        }

        std::printf("%ld read and write results, %d devices, at most %ld in flight\n", kRows, kDevices, kInFlight);
        std::printf("%-34s %14s %18s\n", "", "log window", "reference");
        std::printf("%-34s %14.0f %18.0f   (no window; aim >= 200000)\n", "rows per second", kRows / logged.seconds,
                    kRows / bare.seconds);
        std::printf("%-34s %14.1f %18.1f   (no window; aim < 150)\n", "resident bytes per row",
                    double(logAfter - logBefore) / kRows, double(bareAfter - bareBefore) / kRows);
        std::printf("%-34s %14.3f %18.3f   (plain fwrite of the same lines)\n", "save a million rows (s)",
                    saveSeconds, fwriteSeconds);
        std::printf("%-34s %14.1f %18.1f   (no window; aim < 100)\n", "worst timer delay (ms)", logged.worstDelayMs,
                    bare.worstDelayMs);
        std::printf("saved file: %.1f MB\n", double(savedSize) / 1e6);

        delete log;
        bridge.onEvent.Remove(counting);
        plexord_stop();
        plexord_finalize();
        bridge.SetOutput(stdout, stderr);
        std::fclose(devnull);
    }
    std::filesystem::remove_all(config);
    wxTheApp->OnExit();
    wxEntryCleanup();
    return failed;
}
