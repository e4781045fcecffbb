// Shared by the console's tests: scratch folders and the real server core
// with the "db" plug-in of the build.
#ifndef OPSDESK_TEST_SUPPORT_H
#define OPSDESK_TEST_SUPPORT_H

#include <plexord.h>

#include <wx/string.h>

class EventBridge;

#include <cstdio>
#include <functional>
#include <string>

namespace test {

class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    wxString wxpath() const { return wxString::FromUTF8(m_path); }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Output written to a FILE*, as the event bridge prints it.
class CapturedFile
{
public:
    CapturedFile();
    ~CapturedFile();
    std::FILE* get() const { return m_file; }
    std::string text();

private:
    char* m_buffer = nullptr;
    size_t m_size = 0;
    std::FILE* m_file = nullptr;
};

// plexord_init .. plexord_finalize in a scratch configuration folder,
// without the demo plant, with the build's plug-ins and data (or the data
// folder given).
class CoreRun
{
public:
    explicit CoreRun(const std::string& configDir, bool demo = false, const char* dataDir = OPSDESK_TEST_DATA_DIR);
    ~CoreRun();
    void Finish();

private:
    bool m_running = true;
};

// A started "db" network on a setpoint file in the configuration folder.
uint16_t AddDbNetwork(const char* name, const std::string& setpointFile);
uint16_t AddDevice(uint16_t network, const char* name, const char* address, const char* hardware = nullptr);

// Hands an event to the bridge's core callback, as the core's event
// thread does.
void Deliver(int type, uint32_t client = 0, uint16_t device = 0, uint16_t network = 0,
             ncerr_t result = ncerr_t{1, 0}, const char* text = nullptr);

// Posts a marker through the core's event thread and waits for it: every
// event posted before it has been dispatched by then.
bool Settle(EventBridge& bridge);

// Runs the toolkit's pending events until pred holds or ms have passed.
bool WaitFor(const std::function<bool()>& pred, int ms = 5000);
// Runs the pending events for a while.
void Pump(int ms);

constexpr ncerr_t kOk{1, 0};
constexpr ncerr_t kTimeout{NCERR_TIMEOUT, 0};

} // namespace test

#endif
