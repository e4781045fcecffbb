#include "eventbridge.h"

#include <widgetkit/console.h>

#include <chrono>
#include <cstdlib>

wxDEFINE_EVENT(wxEVT_NC_EVENT, wxNCEvent);

std::atomic<EventBridge*> EventBridge::s_current{nullptr};

namespace {

wxString Text(const char* utf8)
{
    return utf8 ? wxString::FromUTF8(utf8) : wxString();
}

bool IsIoType(int type)
{
    return type >= NCEVENT_READ_REQUEST && type <= NCEVENT_WRITE_RESULT;
}

// Longest stretch of dispatching before the main loop gets a turn.
constexpr std::chrono::milliseconds kSlice{20};

} // namespace

wxNCEvent::wxNCEvent(const ncevent_t* event)
    : wxCommandEvent(wxEVT_NC_EVENT, 0)
    , m_event(ncevent_copy(event))
{
}

wxNCEvent::wxNCEvent(const wxNCEvent& other)
    : wxCommandEvent(other)
    , m_event(ncevent_copy(other.m_event))
{
}

wxNCEvent::~wxNCEvent()
{
    ncevent_delete(m_event);
}

ncerr_t wxNCEvent::GetResult() const
{
    return m_event ? m_event->result : ncerr_ok();
}

bool wxNCEvent::Succeeded() const
{
    const ncerr_t result = GetResult();
    return result.code == NCERR_OK && result.detail == 0;
}

unsigned short wxNCEvent::GetNetworkId() const
{
    const int type = GetCoreType();
    if (IsIoType(type) || (type >= NCEVENT_NETWORK_ADDED && type <= NCEVENT_NETWORK_CHANGED))
        return m_event->network_id;
    std::fprintf(stderr, "Network ID not available in event type %d\n", type);
    std::abort();
}

unsigned long wxNCEvent::GetClientId() const
{
    const int type = GetCoreType();
    return type >= NCEVENT_CLIENT_CONNECTED && type <= NCEVENT_WRITE_RESULT ? m_event->client_id : 0;
}

unsigned short wxNCEvent::GetDeviceId() const
{
    const int type = GetCoreType();
    return type >= NCEVENT_READ_REQUEST && type <= NCEVENT_DEVICE_CHANGED ? m_event->device_id : 0;
}

wxString wxNCEvent::GetItem() const
{
    return m_event ? Text(m_event->item) : wxString();
}

wxString wxNCEvent::GetFlag() const
{
    return m_event ? Text(m_event->flag) : wxString();
}

double wxNCEvent::GetValue() const
{
    return m_event ? m_event->value : 0.0;
}

wxString wxNCEvent::GetLogMessage() const
{
    return m_event ? Text(m_event->message) : wxString();
}

bool wxNCEvent::HasClientText() const
{
    return m_event && m_event->client_text;
}

wxString wxNCEvent::GetClientText() const
{
    return m_event ? Text(m_event->client_text) : wxString();
}

std::vector<LogPiece> ColorLogLine(const std::string& line)
{
    constexpr int kDefault = UX_COLOR_DEFAULT;
    constexpr int kBright = UX_COLOR_BRIGHT;
    auto marked = [&](int restColor) {
        return std::vector<LogPiece>{
            {std::make_pair(kBright | 3, kDefault), line.substr(0, 3)},
            {std::make_pair(kBright | restColor, kDefault), line.substr(3)},
            {std::make_pair(kDefault, kDefault), "\n"},
        };
    };
    if (line.rfind(" * ", 0) == 0)
        return marked(2); // green
    if (line.rfind(" ! ", 0) == 0)
        return marked(1); // red
    if (line.empty() || line[0] != ' ')
        return {{std::nullopt, "   " + line + "\n"}};
    return {{std::nullopt, line + "\n"}};
}

EventBridge::EventBridge()
    : m_resume(this)
{
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Drain(); });
    s_current.store(this);
}

EventBridge::~EventBridge()
{
    EventBridge* self = this;
    s_current.compare_exchange_strong(self, nullptr);
    m_resume.Stop();
    // Events still queued would reach windows that are gone.
    DeletePendingEvents();
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_queue.clear();
}

void EventBridge::CoreCallback(const ncevent_t* event)
{
    if (!event)
        return;
    EventBridge* bridge = s_current.load();
    if (!bridge)
        return;
    auto copy = std::make_unique<wxNCEvent>(event);
    if (!copy->GetCoreEvent())
        return; // the copy failed: nothing to tell
    if (bridge->m_shuttingDown.load())
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(bridge->m_queueLock);
        bridge->m_queue.push_back(std::move(copy));
        wake = !bridge->m_drainScheduled;
        bridge->m_drainScheduled = true;
    }
    if (wake)
        bridge->CallAfter(&EventBridge::Drain);
}

void EventBridge::Drain()
{
    const auto until = std::chrono::steady_clock::now() + kSlice;
    for (unsigned n = 1;; ++n) {
        std::unique_ptr<wxNCEvent> next;
        {
            std::lock_guard<std::mutex> hold(m_queueLock);
            if (m_queue.empty()) {
                m_drainScheduled = false;
                return;
            }
            next = std::move(m_queue.front());
            m_queue.pop_front();
        }
        Dispatch(*next);
        if (n % 64 == 0 && std::chrono::steady_clock::now() >= until) {
            // More remain and the slice is over: the timer goes on with them.
            m_resume.StartOnce(1);
            return;
        }
    }
}

void EventBridge::SetOutput(std::FILE* out, std::FILE* err)
{
    m_out = out;
    m_err = err;
}

void EventBridge::Dispatch(wxNCEvent& event)
{
    const ncevent_t* core = event.GetCoreEvent();
    if (!core)
        return;
    onEvent.Call(event);
    switch (core->type) {
    case NCEVENT_LOG:
        PrintLogLine(core->message ? core->message : "");
        break;
    case NCEVENT_CLIENT_CONNECTED:
        ++m_clientCount;
        onClientConnected.Call(event.GetClientId());
        break;
    case NCEVENT_CLIENT_EVENT:
        onClientEvent.Call(event.GetClientId());
        break;
    case NCEVENT_CLIENT_DISCONNECTED:
        --m_clientCount;
        onClientDisconnected.Call(event.GetClientId());
        break;
    case NCEVENT_CLIENT_CHANGED:
        onClientChanged.Call(event);
        break;
    case NCEVENT_READ_REQUEST:
        onReadRequest.Call(event);
        break;
    case NCEVENT_READ_RESULT:
        onReadResult.Call(event);
        break;
    case NCEVENT_WRITE_REQUEST:
        onWriteRequest.Call(event);
        break;
    case NCEVENT_WRITE_RESULT:
        onWriteResult.Call(event);
        break;
    case NCEVENT_DEVICE_ADDED:
        onDeviceAdded.Call(event.GetDeviceId());
        break;
    case NCEVENT_DEVICE_REMOVED:
        onDeviceRemoved.Call(event.GetDeviceId());
        break;
    case NCEVENT_DEVICE_CHANGED:
        onDeviceChanged.Call(event.GetDeviceId());
        break;
    case NCEVENT_NETWORK_ADDED:
        onNetworkAdded.Call(event.GetNetworkId());
        break;
    case NCEVENT_NETWORK_REMOVED:
        onNetworkRemoved.Call(event.GetNetworkId());
        break;
    case NCEVENT_NETWORK_CHANGED:
        onNetworkChanged.Call(event.GetNetworkId());
        break;
    default:
        break;
    }
    if (!event.Succeeded())
        std::fprintf(m_err, "Error: %s\n", ncerr_get_string(event.GetResult()));
}

void EventBridge::PrintLogLine(const std::string& line)
{
    for (const LogPiece& piece : ColorLogLine(line)) {
        if (piece.color) {
            std::fflush(m_out);
            ux_console_set_color(piece.color->first, piece.color->second);
        }
        std::fputs(piece.text.c_str(), m_out);
    }
    std::fflush(m_out);
}
