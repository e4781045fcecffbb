// The scan list and its threads.
#include "scan.h"

#include <algorithm>
#include <set>

#include "core.h"

namespace plexord {

namespace {

constexpr auto kIdle = std::chrono::milliseconds(250); // how soon a new scan list is seen
constexpr int kNetworkWaitMs = 1000;

} // namespace

void Scanner::start(const std::vector<uint16_t> &networks)
{
    std::lock_guard lk(m_);
    stopping_ = false;
    for (uint16_t id : networks)
        if (!threads_.count(id))
            threads_.emplace(id, std::thread([this, id] { run(id); }));
}

void Scanner::stop()
{
    std::map<uint16_t, std::thread> threads;
    {
        std::lock_guard lk(m_);
        stopping_ = true;
        threads.swap(threads_);
    }
    cv_.notify_all();
    for (auto &[id, t] : threads)
        t.join();
}

void Scanner::set_sink(std::shared_ptr<ScanSink> sink)
{
    std::lock_guard lk(m_);
    sink_ = std::move(sink);
}

std::shared_ptr<ScanSink> Scanner::sink()
{
    std::lock_guard lk(m_);
    return sink_;
}

void Scanner::run(uint16_t network)
{
    Network n;
    n.id = network;
    std::unique_lock lk(m_);
    while (!stopping_) {
        lk.unlock();
        auto next = std::chrono::steady_clock::now() + kIdle;
        try {
            next = std::min(next, pass(n));
        } catch (...) {
            log_line(" ! Scan of network " + std::to_string(network) + " failed");
        }
        lk.lock();
        cv_.wait_until(lk, next, [&] { return stopping_; });
    }
}

std::chrono::steady_clock::time_point Scanner::pass(Network &n)
{
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    auto next = start + kIdle;
    Core *c = core();
    if (!c)
        return next;

    struct Due {
        uint16_t device;
        std::string name;
        std::vector<ScanPoint> points;
        long interval_ms;
        unsigned keepalive;
    };
    std::vector<Due> due;
    std::set<uint16_t> seen;
    for (uint16_t id : c->devices.ids()) {
        plexord_dev *d = c->devices.get(id);
        if (!d)
            continue;
        std::lock_guard lk(d->data);
        if (d->network_id != n.id || d->scan_interval_ms <= 0 || d->scan.empty())
            continue;
        seen.insert(id);
        Device &st = n.devices[id];
        std::string sig = d->scan_text + '\n' + std::to_string(d->scan_interval_ms);
        if (st.signature != sig) {
            st.signature = sig;
            st.states.assign(d->scan.size(), ScanState{});
            st.due = start;
        }
        if (st.due <= start)
            due.push_back({id, nz(d->name), d->scan, d->scan_interval_ms, d->scan_keepalive});
        else
            next = std::min(next, st.due);
    }
    std::erase_if(n.devices, [&](const auto &e) { return !seen.count(e.first); });
    if (due.empty())
        return next;

    auto net = c->networks.get(n.id);
    std::string net_name = net ? net->name() : std::string();
    net.reset();
    uint32_t client = c->mqtt_client;
    for (const Due &d : due)
        for (const ScanPoint &p : d.points)
            post_io(NCEVENT_READ_REQUEST, n.id, d.device, client, p.item, p.flag, 0.0, ok());

    // All due points of the network in one batch: the network answers them
    // in one go, and a slow one holds up only its own thread.
    std::vector<QueuedIo> results;
    ncerr_t whole = ok();
    network_t *h = c->networks.fetch(n.id, kNetworkWaitMs);
    if (!h) {
        whole = c->networks.get(n.id) ? fail(NCERR_BUSY) : fail(NCERR_NO_NETWORK);
    } else {
        try {
            for (const Due &d : due)
                for (const ScanPoint &p : d.points)
                    h->queue.push_back(QueuedIo{d.device, p.item, p.flag, PXP_READ, PXP_FLOAT, 0, 0,
                                                fail(NCERR_STATE), false});
            flush_queue(h);
            results.swap(h->queue);
        } catch (...) {
            whole = fail(NCERR_STATE);
        }
        c->networks.drop(h);
    }
    auto done = clock::now();
    auto when = std::chrono::system_clock::now();
    auto sink = this->sink();

    size_t i = 0;
    for (const Due &d : due) {
        Device &st = n.devices[d.device];
        for (size_t k = 0; k < d.points.size(); ++k, ++i) {
            const ScanPoint &p = d.points[k];
            ncerr_t r = whole;
            double v = 0;
            if (is_ok(whole) && i < results.size()) {
                r = results[i].result;
                v = is_ok(r) ? results[i].fvalue : 0;
            }
            post_io(NCEVENT_READ_RESULT, n.id, d.device, client, p.item, p.flag, v, r);
            // A read cut by a stop or restart says nothing of the device:
            // consumers keep the last value rather than a retained "aborted".
            if ((r.code & 0xff) == NCERR_ABORTED)
                continue;
            if (k < st.states.size() && scan_publish(st.states[k], v, r, p.deadband, d.keepalive) && sink) {
                ScanSample s;
                s.network = n.id;
                s.device = d.device;
                s.network_name = net_name;
                s.device_name = d.name;
                s.item = p.item;
                s.flag = p.flag;
                s.value = v;
                s.result = r;
                s.when = when;
                sink->publish(s);
            }
        }
        auto interval = std::chrono::milliseconds(d.interval_ms);
        st.due = std::max(start + interval, done);
        if (done - start > interval && !n.slow_logged) {
            n.slow_logged = true;
            log_line(" ! Scan of network " + std::to_string(n.id) + " \"" + net_name + "\": one pass took " +
                     std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(done - start).count()) +
                     " ms, longer than the " + std::to_string(d.interval_ms) + " ms interval of device \"" +
                     d.name + "\"; it is scanned as fast as the network answers");
        }
        next = std::min(next, st.due);
    }
    return next;
}

} // namespace plexord
