// The bridge from the server core's event callback (core threads) to the
// user-interface thread, where typed delegates fan each event out.
#ifndef OPSDESK_EVENTBRIDGE_H
#define OPSDESK_EVENTBRIDGE_H

#include "delegate.h"

#include <plexord.h>

#include <wx/event.h>
#include <wx/timer.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A toolkit event owning a copy of one core event.
class wxNCEvent : public wxCommandEvent
{
public:
    explicit wxNCEvent(const ncevent_t* event = nullptr);
    wxNCEvent(const wxNCEvent& other);
    wxNCEvent& operator=(const wxNCEvent&) = delete;
    ~wxNCEvent() override;

    wxEvent* Clone() const override { return new wxNCEvent(*this); }

    // Null when the event holds none.
    const ncevent_t* GetCoreEvent() const { return m_event; }
    // The core event type (2 to 16), 0 for none.
    int GetCoreType() const { return m_event ? m_event->type : 0; }
    ncerr_t GetResult() const;
    bool Succeeded() const;

    // Types 7 to 10 and 14 to 16 only; asking any other type is a
    // programming error that ends the process.
    unsigned short GetNetworkId() const;
    // Types 3 to 10, else 0.
    unsigned long GetClientId() const;
    // Types 7 to 13, else 0.
    unsigned short GetDeviceId() const;
    wxString GetItem() const;
    wxString GetFlag() const;
    double GetValue() const;
    wxString GetLogMessage() const;
    bool HasClientText() const;
    wxString GetClientText() const;

private:
    ncevent_t* m_event;
};

wxDECLARE_EVENT(wxEVT_NC_EVENT, wxNCEvent);

// How a core log line is printed: pieces of text, each after an optional
// colour change (foreground, background) of the console.
struct LogPiece
{
    std::optional<std::pair<int, int>> color;
    std::string text;

    bool operator==(const LogPiece&) const = default;
};

std::vector<LogPiece> ColorLogLine(const std::string& line);

class EventBridge : public wxEvtHandler
{
public:
    // The core's callback posts to the bridge created last.
    EventBridge();
    ~EventBridge() override;

    // Given to plexord_init; runs on the core's threads.
    static void CoreCallback(const ncevent_t* event);
    // The bridge the callback posts to; null when there is none.
    static EventBridge* GetCurrent() { return s_current.load(); }

    // From now on core events are dropped at the callback. Set on the
    // user-interface thread before the core is stopped.
    void SetShuttingDown() { m_shuttingDown.store(true); }
    bool IsShuttingDown() const { return m_shuttingDown.load(); }

    // Clients connected, as counted from the events.
    int GetClientCount() const { return m_clientCount; }

    // Calls the delegates for one event (user-interface thread).
    void Dispatch(wxNCEvent& event);

    // Where log lines and failures are printed (standard output and error).
    void SetOutput(std::FILE* out, std::FILE* err);

    Delegate<wxNCEvent&> onEvent;
    Delegate<unsigned long> onClientConnected;    // 3
    Delegate<unsigned long> onClientEvent;        // 4
    Delegate<unsigned long> onClientDisconnected; // 5
    Delegate<wxNCEvent&> onClientChanged;         // 6
    Delegate<wxNCEvent&> onReadRequest;           // 7
    Delegate<wxNCEvent&> onReadResult;            // 8
    Delegate<wxNCEvent&> onWriteRequest;          // 9
    Delegate<wxNCEvent&> onWriteResult;           // 10
    Delegate<unsigned short> onDeviceAdded;       // 11
    Delegate<unsigned short> onDeviceRemoved;     // 12
    Delegate<unsigned short> onDeviceChanged;     // 13
    Delegate<unsigned short> onNetworkAdded;      // 14
    Delegate<unsigned short> onNetworkRemoved;    // 15
    Delegate<unsigned short> onNetworkChanged;    // 16

private:
    // Dispatches queued events for one time slice, then lets the main loop
    // run its timers and input before going on.
    void Drain();
    void PrintLogLine(const std::string& line);

    std::atomic<bool> m_shuttingDown{false};
    // Events from the core's threads, oldest first. The toolkit's own
    // pending-event loop runs until its queue is empty, which a busy server
    // never lets happen: the console would stop redrawing.
    std::mutex m_queueLock;
    std::deque<std::unique_ptr<wxNCEvent>> m_queue;
    bool m_drainScheduled = false; // guarded by m_queueLock
    wxTimer m_resume;
    int m_clientCount = 0;
    std::FILE* m_out = stdout;
    std::FILE* m_err = stderr;

    static std::atomic<EventBridge*> s_current;
};

#endif
