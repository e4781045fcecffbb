// The event thread and the event records.
#include <cstdlib>
#include <cstring>

#include "core.h"

namespace plexord {

EventQueue::~EventQueue()
{
    stop();
    for (ncevent_t *ev : q_)
        ncevent_delete(ev);
}

void EventQueue::start()
{
    std::lock_guard lk(m_);
    if (running_)
        return;
    running_ = true;
    stopping_ = false;
    th_ = std::thread([this] { run(); });
}

void EventQueue::stop()
{
    {
        std::lock_guard lk(m_);
        if (!running_)
            return;
        // A callback that stops the core must not join its own thread.
        if (th_.get_id() == std::this_thread::get_id())
            return;
        stopping_ = true;
    }
    cv_.notify_all();
    th_.join();
    std::lock_guard lk(m_);
    running_ = false;
    stopping_ = false;
}

void EventQueue::post(ncevent_t *ev)
{
    if (!ev)
        return;
    bool was_empty;
    {
        std::lock_guard lk(m_);
        was_empty = q_.empty();
        q_.push_back(ev);
    }
    // The thread only sleeps on an empty queue.
    if (was_empty)
        cv_.notify_one();
}

void EventQueue::run()
{
    std::deque<ncevent_t *> batch;
    std::unique_lock lk(m_);
    for (;;) {
        cv_.wait(lk, [&] { return stopping_ || !q_.empty(); });
        if (q_.empty())
            return; // stopping, and everything delivered
        // Take all that is queued at once: one lock per batch, not per event.
        batch.swap(q_);
        lk.unlock();
        for (ncevent_t *ev : batch) {
            if (cb_)
                cb_(ev);
            ncevent_delete(ev);
        }
        batch.clear();
        lk.lock();
    }
}

namespace {

ncevent_t *make_event(int type)
{
    auto *ev = static_cast<ncevent_t *>(calloc(1, sizeof(ncevent_t)));
    if (ev) {
        ev->type = type;
        ev->result = ok();
    }
    return ev;
}

bool dup_into(char *&dst, const char *src)
{
    if (!src)
        return true;
    dst = strdup(src);
    return dst != nullptr;
}

// Makes an event of the type, lets fill complete it and posts it; an event
// that fill could not complete is dropped, as is one without a core.
template <typename F>
void post_made(int type, F &&fill)
{
    Core *c = core();
    if (!c)
        return;
    ncevent_t *ev = make_event(type);
    if (!ev)
        return;
    if (!fill(*ev)) {
        ncevent_delete(ev);
        return;
    }
    c->events.post(ev);
}

} // namespace

void log_line(const std::string &line)
{
    post_made(NCEVENT_LOG, [&](ncevent_t &ev) { return dup_into(ev.message, line.c_str()); });
}

void post_simple(int type, uint16_t device, uint16_t network)
{
    post_made(type, [&](ncevent_t &ev) {
        ev.device_id = device;
        ev.network_id = network;
        return true;
    });
}

void post_io(int type, uint16_t network, uint16_t device, uint32_t client, const std::string &item,
             const std::string &flag, double value, ncerr_t result)
{
    post_made(type, [&](ncevent_t &ev) {
        ev.network_id = network;
        ev.device_id = device;
        ev.client_id = client;
        ev.value = value;
        ev.result = result;
        return dup_into(ev.item, item.c_str()) && dup_into(ev.flag, flag.c_str());
    });
}

} // namespace plexord

using namespace plexord;

extern "C" {

PLEXORD_API ncevent_t *ncevent_copy(const ncevent_t *event)
{
    if (!event)
        return nullptr;
    auto *ev = static_cast<ncevent_t *>(malloc(sizeof(ncevent_t)));
    if (!ev)
        return nullptr;
    *ev = *event;
    ev->message = ev->client_text = ev->item = ev->flag = nullptr;
    if (!dup_into(ev->message, event->message) || !dup_into(ev->client_text, event->client_text) ||
        !dup_into(ev->item, event->item) || !dup_into(ev->flag, event->flag)) {
        ncevent_delete(ev);
        return nullptr;
    }
    return ev;
}

PLEXORD_API void ncevent_delete(ncevent_t *event)
{
    if (!event)
        return;
    free(event->message);
    free(event->client_text);
    free(event->item);
    free(event->flag);
    free(event);
}

PLEXORD_API ncerr_t ncevent_throw_io_event(int type, uint16_t network_id, uint16_t device_id, uint32_t client_id,
                                           const char *item, const char *flag, double value, ncerr_t result)
{
    if (type < NCEVENT_READ_REQUEST || type > NCEVENT_WRITE_RESULT)
        return fail(NCERR_INVALID);
    if (!core())
        return fail(NCERR_STATE);
    try {
        post_io(type, network_id, device_id, client_id, nz(item), nz(flag), value, result);
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    return ok();
}

} // extern "C"
