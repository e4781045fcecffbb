// Networks: parameters, the worker thread, request queues and the manager.
#include <cmath>
#include <cstring>

#include "core.h"

namespace plexord {

namespace {

void host_log(void *ctx, const char *line)
{
    (void)ctx;
    if (line)
        log_line(line);
}

std::string quoted(const std::string &s)
{
    return "\"" + s + "\"";
}

int64_t to_int64(double v)
{
    if (!std::isfinite(v))
        return 0;
    if (v >= 9.2e18)
        return INT64_MAX;
    if (v <= -9.2e18)
        return INT64_MIN;
    return std::llround(v);
}

std::string cache_key(const std::string &item, const std::string &flag)
{
    return item + '\x1f' + flag;
}

// Failures that say what is wrong with a request, not with the link to it.
bool is_verdict(int result)
{
    return result == PXP_FAIL_INVALID || result == PXP_FAIL_UNKNOWN_SETPOINT || result == PXP_FAIL_READ_ONLY ||
           result == PXP_FAIL_ACCESS_DENIED;
}

} // namespace

Network::Network(uint16_t id, const NetworkType *type) : id_(id), type_(type), host_(std::make_unique<pxp_host_t>())
{
    Core *c = core();
    host_->config_dir = c ? c->config_dir.c_str() : "";
    host_->data_dir = c ? c->data_dir.c_str() : "";
    host_->log = host_log;
    host_->ctx = nullptr;
    const pxp_type_t *t = type_->ops;
    obj_ = t->create(host_.get());
    if (!obj_)
        return;
    name_ = type_->label + " " + std::to_string(id_);
    for (int i = 0; i < t->param_count; ++i) {
        const pxp_param_t &p = t->params[i];
        if (!p.key || std::strcmp(p.key, "name") == 0)
            continue;
        // A secret is a text to everyone but the configuration file.
        Param v{p.kind == PXP_PARAM_SECRET ? PXP_PARAM_TEXT : p.kind, {}, 0};
        if (v.kind == PXP_PARAM_TEXT) {
            const char *s = nullptr;
            if (t->get_text(obj_, p.key, &s) == 0 && s)
                v.text = s;
        } else {
            t->get_integer(obj_, p.key, &v.value);
        }
        if (params_.emplace(p.key, v).second)
            order_.push_back(p.key);
    }
}

Network::~Network()
{
    if (!obj_)
        return;
    stop();
    std::lock_guard lk(pm_);
    type_->ops->destroy(obj_);
}

std::string Network::name()
{
    std::lock_guard lk(pm_);
    return name_;
}

void Network::set_name(const std::string &n)
{
    std::lock_guard lk(pm_);
    name_ = n;
}

int Network::param_kind(const std::string &key)
{
    if (key == "name")
        return NETWORK_PARAM_TEXT;
    std::lock_guard lk(pm_);
    auto it = params_.find(key);
    return it == params_.end() ? 0 : it->second.kind;
}

std::vector<std::string> Network::param_keys()
{
    std::lock_guard lk(pm_);
    std::vector<std::string> keys{"name"};
    keys.insert(keys.end(), order_.begin(), order_.end());
    return keys;
}

bool Network::get_param(const std::string &key, Param &out)
{
    std::lock_guard lk(pm_);
    if (key == "name") {
        out = Param{NETWORK_PARAM_TEXT, name_, 0};
        return true;
    }
    auto it = params_.find(key);
    if (it == params_.end())
        return false;
    out = it->second;
    return true;
}

ncerr_t Network::set_text(const std::string &key, const std::string &v)
{
    if (key == "name") {
        set_name(v);
        return ok();
    }
    std::lock_guard lk(pm_);
    auto it = params_.find(key);
    if (it == params_.end() || it->second.kind != PXP_PARAM_TEXT)
        return fail(NCERR_INVALID);
    bool run;
    {
        std::lock_guard q(qm_);
        run = running_;
    }
    if (run) {
        // The worker may be inside the plug-in; the value reaches it at the
        // next start.
        it->second.text = v;
        pending_ = true;
        return ok();
    }
    const pxp_type_t *t = type_->ops;
    if (int st = t->set_text(obj_, key.c_str(), v.c_str()))
        return plugin_fail(NCERR_INVALID, st);
    const char *s = nullptr;
    it->second.text = t->get_text(obj_, key.c_str(), &s) == 0 && s ? s : v;
    return ok();
}

ncerr_t Network::set_int(const std::string &key, int v)
{
    std::lock_guard lk(pm_);
    auto it = params_.find(key);
    if (it == params_.end() || it->second.kind == PXP_PARAM_TEXT)
        return fail(NCERR_INVALID);
    if (it->second.kind == PXP_PARAM_FLAG)
        v = v != 0;
    bool run;
    {
        std::lock_guard q(qm_);
        run = running_;
    }
    if (run) {
        it->second.value = v;
        pending_ = true;
        return ok();
    }
    const pxp_type_t *t = type_->ops;
    if (int st = t->set_integer(obj_, key.c_str(), v))
        return plugin_fail(NCERR_INVALID, st);
    int got = v;
    it->second.value = t->get_integer(obj_, key.c_str(), &got) == 0 ? got : v;
    return ok();
}

ncerr_t Network::push_params()
{
    if (!pending_)
        return ok();
    const pxp_type_t *t = type_->ops;
    for (auto &[key, p] : params_) {
        int st = p.kind == PXP_PARAM_TEXT ? t->set_text(obj_, key.c_str(), p.text.c_str())
                                          : t->set_integer(obj_, key.c_str(), p.value);
        if (st) {
            log_line(" ! Network " + std::to_string(id_) + " " + quoted(name_) + ": parameter \"" + key +
                     "\" refused: " + t->status_text(st));
            return plugin_fail(NCERR_INVALID, st);
        }
    }
    pending_ = false;
    return ok();
}

void Network::pull_params()
{
    std::lock_guard lk(pm_);
    // A change of the console's own waits for the next start and wins.
    if (pending_)
        return;
    const pxp_type_t *t = type_->ops;
    for (auto &[key, p] : params_) {
        if (p.kind == PXP_PARAM_TEXT) {
            const char *s = nullptr;
            if (t->get_text(obj_, key.c_str(), &s) == 0 && s && p.text != s) {
                p.text = s;
                touch();
            }
        } else {
            int v = p.value;
            if (t->get_integer(obj_, key.c_str(), &v) == 0 && v != p.value) {
                p.value = v;
                touch();
            }
        }
    }
}

ncerr_t Network::start()
{
    std::lock_guard run(run_m_);
    std::lock_guard lk(pm_);
    {
        std::lock_guard q(qm_);
        if (running_)
            return ok();
    }
    ncerr_t r = push_params();
    if (!is_ok(r))
        return r;
    if (int st = type_->ops->start(obj_)) {
        log_line(" ! Network " + std::to_string(id_) + " " + quoted(name_) +
                 " failed to start: " + type_->ops->status_text(st));
        return plugin_fail(NCERR_DRIVER, st);
    }
    {
        std::lock_guard q(qm_);
        running_ = true;
        stopping_ = false;
    }
    try {
        worker_ = std::thread([this] { worker(); });
    } catch (...) {
        std::lock_guard q(qm_);
        running_ = false;
        type_->ops->stop(obj_);
        return fail(NCERR_STATE);
    }
    log_line(" * Network " + std::to_string(id_) + " " + quoted(name_) + " started");
    return ok();
}

void Network::signal_stop()
{
    std::lock_guard q(qm_);
    if (!running_ || stopping_)
        return;
    stopping_ = true;
    // Batches still waiting will never be taken: their callers (the
    // scheduler's thread among them) must not wait for the join.
    fail_waiting_jobs();
    qcv_.notify_all();
    // Under qm_: abort never meets the plug-in's start or stop, which run
    // only while running_ is false.
    if (type_->ops->abort)
        type_->ops->abort(obj_);
}

void Network::fail_waiting_jobs()
{
    for (Job *j : jobs_) {
        j->batch_class = NCERR_ABORTED;
        j->done = true;
    }
    jobs_.clear();
    done_cv_.notify_all();
}

void Network::stop()
{
    std::lock_guard run(run_m_);
    {
        std::lock_guard q(qm_);
        if (!running_)
            return;
    }
    signal_stop();
    worker_.join();
    {
        std::lock_guard q(qm_);
        fail_waiting_jobs();
        running_ = false;
        stopping_ = false;
    }
    std::lock_guard lk(pm_);
    type_->ops->stop(obj_);
    log_line(" * Network " + std::to_string(id_) + " " + quoted(name_) + " stopped");
}

bool Network::running()
{
    std::lock_guard q(qm_);
    return running_ && !stopping_;
}

bool Network::perform(Job &job)
{
    std::unique_lock lk(qm_);
    if (!running_ || stopping_)
        return false;
    // A priority batch goes after the priority batches already waiting.
    auto at = jobs_.end();
    if (job.priority)
        for (at = jobs_.begin(); at != jobs_.end() && (*at)->priority;)
            ++at;
    jobs_.insert(at, &job);
    qcv_.notify_one();
    done_cv_.wait(lk, [&] { return job.done; });
    return true;
}

void Network::worker()
{
    std::unique_lock lk(qm_);
    if (type_->ops->connect && !stopping_) {
        lk.unlock();
        type_->ops->connect(obj_);
        lk.lock();
    }
    for (;;) {
        qcv_.wait(lk, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_)
            return;
        Job *j = jobs_.front();
        jobs_.pop_front();
        lk.unlock();
        int st = type_->ops->perform(obj_, j->reqs.data(), static_cast<int>(j->reqs.size()));
        pull_params();
        lk.lock();
        if (stopping_) {
            // The stop cut the batch: a request that waited on the device
            // failed for that reason, whatever its cut wait ended with. A
            // verdict on the request itself stands.
            for (pxp_request_t &r : j->reqs)
                if (r.result != PXP_OK && !is_verdict(r.result))
                    r.result = PXP_FAIL_ABORTED;
            if (st != 0)
                j->batch_class = NCERR_ABORTED;
        }
        j->batch_status = st;
        j->done = true;
        done_cv_.notify_all();
    }
}

// ---- flush ------------------------------------------------------------------

ncerr_t flush_queue(plexord_network *h, bool priority)
{
    Core *c = core();
    auto &queue = h->queue;
    auto fail_all = [&](ncerr_t r) {
        for (auto &q : queue)
            q.result = r;
        return r;
    };
    for (auto &q : queue)
        q.taken = false;
    if (queue.empty())
        return ok();
    if (!c)
        return fail_all(fail(NCERR_STATE));
    Network &net = *h->net;
    if (!net.in_manager)
        return fail_all(fail(NCERR_NO_NETWORK));

    Job job;
    job.priority = priority;
    std::vector<size_t> slot;            // request -> queue position
    std::vector<std::string> addresses(queue.size()), docs(queue.size());
    std::vector<plexord_dev *> devs(queue.size(), nullptr);
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < queue.size(); ++i) {
        QueuedIo &q = queue[i];
        DeviceInfo di;
        if (!c->devices.info(q.device, di) || di.network_id != net.id()) {
            q.result = fail(NCERR_NO_DEVICE);
            continue;
        }
        devs[i] = c->devices.get(q.device);
        if (q.op == PXP_READ && devs[i]) {
            plexord_dev *d = devs[i];
            std::lock_guard lk(d->data);
            auto it = d->cache.find(cache_key(q.item, q.flag));
            if (d->cache_enforced && it != d->cache.end() && now - it->second.when < std::chrono::seconds(d->max_age)) {
                q.ivalue = it->second.ivalue;
                q.fvalue = it->second.fvalue;
                q.result = ok();
                continue;
            }
        }
        addresses[i] = di.address;
        docs[i] = di.doc_path;
        pxp_request_t r{};
        r.address = addresses[i].c_str();
        r.doc_path = docs[i].empty() ? nullptr : docs[i].c_str();
        r.item = q.item.c_str();
        r.flag = q.flag.c_str();
        r.op = q.op;
        r.kind = q.kind;
        r.ivalue = q.ivalue;
        r.fvalue = q.fvalue;
        r.result = PXP_FAIL_DRIVER;
        job.reqs.push_back(r);
        slot.push_back(i);
    }

    if (!job.reqs.empty()) {
        int plugin = net.type()->plugin;
        if (!net.perform(job)) {
            for (size_t i : slot)
                queue[i].result = fail(NCERR_NOT_STARTED);
        } else {
            for (size_t k = 0; k < slot.size(); ++k) {
                QueuedIo &q = queue[slot[k]];
                const pxp_request_t &r = job.reqs[k];
                if (job.batch_class) {
                    q.result = fail(job.batch_class);
                } else if (job.batch_status) {
                    q.result = fail(NCERR_DRIVER, job.batch_status, plugin);
                } else if (r.result == PXP_OK) {
                    q.result = ok();
                    if (q.op == PXP_READ) {
                        if (q.kind == PXP_INTEGER) {
                            q.ivalue = r.ivalue;
                            q.fvalue = static_cast<double>(r.ivalue);
                        } else {
                            q.fvalue = r.fvalue;
                            q.ivalue = to_int64(r.fvalue);
                        }
                    }
                    if (plexord_dev *d = devs[slot[k]]) {
                        std::lock_guard lk(d->data);
                        d->cache[cache_key(q.item, q.flag)] = CacheEntry{q.ivalue, q.fvalue, now};
                    }
                } else {
                    int cls = r.result >= 2 && r.result <= 0xff && r.result != NCERR_OK ? r.result : NCERR_DRIVER;
                    q.result = fail(cls, r.status, plugin);
                }
            }
        }
    }
    for (auto &q : queue)
        if (!is_ok(q.result))
            return q.result;
    return ok();
}

// ---- manager -------------------------------------------------------------------

uint16_t NetworkManager::next_id_locked()
{
    while (next_ <= 0xffff && used_.count(static_cast<uint16_t>(next_)))
        ++next_;
    return next_ <= 0xffff ? static_cast<uint16_t>(next_++) : 0;
}

bool NetworkManager::reserve_id(uint16_t id)
{
    std::lock_guard lk(m_);
    return id != 0 && used_.insert(id).second;
}

network_t *NetworkManager::create(const NetworkType *type, uint16_t want_id)
{
    std::lock_guard lk(m_);
    uint16_t id = want_id;
    if (id == 0) {
        id = next_id_locked();
    } else if (!used_.insert(id).second) {
        return nullptr;
    }
    if (id == 0)
        return nullptr;
    used_.insert(id);
    auto net = std::make_shared<Network>(id, type);
    if (!net->valid())
        return nullptr;
    auto h = std::make_unique<plexord_network>();
    h->net = std::move(net);
    primaries_.push_back(std::move(h));
    return primaries_.back().get();
}

ncerr_t NetworkManager::add(network_t *h)
{
    if (!h || !h->net)
        return fail(NCERR_INVALID);
    std::shared_ptr<Network> net;
    {
        std::lock_guard lk(m_);
        if (h->net->in_manager || h->net->removed)
            return fail(NCERR_INVALID);
        net = h->net;
        active_[net->id()] = net;
        net->in_manager = true;
    }
    touch();
    post_simple(NCEVENT_NETWORK_ADDED, 0, net->id());
    Core *c = core();
    if (c && c->started)
        net->start();
    return ok();
}

ncerr_t NetworkManager::remove(uint16_t id)
{
    std::shared_ptr<Network> net;
    {
        std::lock_guard lk(m_);
        auto it = active_.find(id);
        if (it == active_.end())
            return fail(NCERR_NO_NETWORK);
        net = it->second;
        active_.erase(it);
        net->in_manager = false;
        net->removed = true;
    }
    // Cut the exchange in flight first, so that the users it holds up
    // return and drop their handles; do not wait for ever.
    net->signal_stop();
    bool locked = net->lock.lock_for(2000);
    net->stop();
    if (locked)
        net->lock.release();
    touch();
    log_line(" * Network " + std::to_string(id) + " \"" + net->name() + "\" removed");
    post_simple(NCEVENT_NETWORK_REMOVED, 0, id);
    return ok();
}

network_t *NetworkManager::fetch(uint16_t id, int wait_ms)
{
    std::shared_ptr<Network> net = get(id);
    if (!net || !net->lock.lock_shared_for(wait_ms))
        return nullptr;
    if (net->removed) {
        net->lock.release();
        return nullptr;
    }
    try {
        auto h = std::make_unique<plexord_network>();
        h->net = net;
        h->fetched = true;
        std::lock_guard lk(m_);
        fetched_.insert(h.get());
        return h.release();
    } catch (...) {
        net->lock.release();
        return nullptr;
    }
}

void NetworkManager::drop(network_t *h)
{
    if (!h || !h->fetched)
        return; // created handles live until finalize
    {
        std::lock_guard lk(m_);
        if (!fetched_.erase(h))
            return; // not ours, or dropped twice
    }
    h->net->lock.release();
    if (h->changed && h->net->in_manager)
        post_simple(NCEVENT_NETWORK_CHANGED, 0, h->net->id());
    delete h;
}

std::vector<uint16_t> NetworkManager::ids()
{
    std::lock_guard lk(m_);
    std::vector<uint16_t> v;
    for (auto &[id, n] : active_)
        v.push_back(id);
    return v;
}

std::shared_ptr<Network> NetworkManager::get(uint16_t id)
{
    std::lock_guard lk(m_);
    auto it = active_.find(id);
    return it == active_.end() ? nullptr : it->second;
}

size_t NetworkManager::count()
{
    std::lock_guard lk(m_);
    return active_.size();
}

void NetworkManager::start_all()
{
    for (uint16_t id : ids())
        if (auto n = get(id))
            n->start();
}

std::vector<std::shared_ptr<Network>> NetworkManager::snapshot()
{
    std::lock_guard lk(m_);
    std::vector<std::shared_ptr<Network>> nets;
    for (auto &[id, n] : active_)
        nets.push_back(n);
    return nets;
}

void NetworkManager::signal_all()
{
    for (auto &n : snapshot())
        n->signal_stop();
}

void NetworkManager::stop_all()
{
    const auto nets = snapshot();
    for (auto &n : nets)
        n->signal_stop();
    for (auto &n : nets)
        n->stop();
}

void NetworkManager::clear()
{
    stop_all();
    std::lock_guard lk(m_);
    for (plexord_network *h : fetched_)
        delete h; // never dropped by their holders
    fetched_.clear();
    active_.clear();
    primaries_.clear();
    used_.clear();
    next_ = 1;
}

} // namespace plexord

using namespace plexord;

namespace {

NetworkManager *mgr()
{
    Core *c = core();
    return c ? &c->networks : nullptr;
}

using Calls = ManagerCalls<&mgr>;

void note_change(network_t *h)
{
    touch();
    if (h->fetched)
        h->changed = true;
    else if (h->net->in_manager)
        post_simple(NCEVENT_NETWORK_CHANGED, 0, h->net->id());
}

ncerr_t queue_io(network_t *h, uint16_t device, const char *item, const char *flag, int op, int kind, int64_t iv,
                 double fv)
{
    if (!h || !item)
        return fail(NCERR_INVALID);
    try {
        QueuedIo q{device, item, nz(flag), op, kind, iv, fv, fail(NCERR_STATE), false};
        h->queue.push_back(std::move(q));
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    return ok();
}

QueuedIo *find_result(network_t *h, uint16_t device, const char *item, const char *flag)
{
    if (!h || !item)
        return nullptr;
    const char *f = nz(flag);
    QueuedIo *last = nullptr;
    for (auto &q : h->queue) {
        if (q.device != device || q.item != item || q.flag != f)
            continue;
        if (!q.taken) {
            q.taken = true;
            return &q;
        }
        last = &q;
    }
    return last;
}

} // namespace

extern "C" {

PLEXORD_API network_t *plexord_create_network(const char *type_key)
{
    Core *c = core();
    if (!c || !type_key)
        return nullptr;
    try {
        const NetworkType *t = c->plugins.find(type_key);
        if (!t) {
            log_line(std::string(" ! No plug-in for network type \"") + type_key + "\"");
            return nullptr;
        }
        network_t *h = c->networks.create(t);
        if (!h)
            log_line(std::string(" ! The \"") + type_key + "\" plug-in could not create a network");
        return h;
    } catch (...) {
        return nullptr;
    }
}

PLEXORD_API ncerr_t networkmgr_add_network(network_t *network)
{
    return Calls::add(network);
}

PLEXORD_API ncerr_t networkmgr_remove_network(uint16_t id)
{
    return Calls::remove(id);
}

PLEXORD_API int networkmgr_get_network_count(void)
{
    return Calls::count();
}

PLEXORD_API network_t *networkmgr_fetch_network(uint16_t id, int wait_ms)
{
    return Calls::fetch(id, wait_ms);
}

PLEXORD_API void networkmgr_drop_network(network_t *network)
{
    Calls::drop(network);
}

PLEXORD_API void networkmgr_iterate_start(void)
{
    Calls::iterate_start();
}

PLEXORD_API uint16_t networkmgr_iterate_get_next(void)
{
    return Calls::iterate_next();
}

PLEXORD_API void networkmgr_iterate_end(void)
{
    Calls::iterate_end();
}

PLEXORD_API uint16_t network_get_id(network_t *network)
{
    return network ? network->net->id() : 0;
}

PLEXORD_API const char *network_get_name(network_t *network)
{
    if (!network)
        return "";
    try {
        std::string &slot = network->texts["name"];
        slot = network->net->name();
        return slot.c_str();
    } catch (...) {
        return "";
    }
}

PLEXORD_API const char *network_get_type(network_t *network)
{
    return network ? network->net->type()->key.c_str() : "";
}

PLEXORD_API int network_is_started(network_t *network)
{
    return network && network->net->running() ? 1 : 0;
}

PLEXORD_API ncerr_t network_vget(network_t *network, va_list ap)
{
    if (!network)
        return fail(NCERR_INVALID);
    ncerr_t result = ok();
    try {
        for (;;) {
            const char *key = va_arg(ap, const char *);
            if (!key)
                break;
            void *dst = va_arg(ap, void *);
            Param p;
            if (!dst || !network->net->get_param(key, p)) {
                result = fail(NCERR_INVALID);
                continue;
            }
            if (p.kind == NETWORK_PARAM_TEXT) {
                std::string &slot = network->texts[key];
                slot = p.text;
                *static_cast<const char **>(dst) = slot.c_str();
            } else {
                *static_cast<int *>(dst) = p.value;
            }
        }
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    return result;
}

PLEXORD_API ncerr_t network_get(network_t *network, ...)
{
    va_list ap;
    va_start(ap, network);
    ncerr_t r = network_vget(network, ap);
    va_end(ap);
    return r;
}

PLEXORD_API ncerr_t network_vset(network_t *network, va_list ap)
{
    if (!network)
        return fail(NCERR_INVALID);
    ncerr_t result = ok();
    bool changed = false;
    try {
        for (;;) {
            const char *key = va_arg(ap, const char *);
            if (!key)
                break;
            int kind = network->net->param_kind(key);
            if (kind == 0) {
                log_line(" ! Network " + std::to_string(network->net->id()) + ": no parameter \"" + key + "\"");
                result = fail(NCERR_INVALID);
                break; // the value's kind is unknown, so the list cannot be read on
            }
            ncerr_t r;
            if (kind == NETWORK_PARAM_TEXT) {
                const char *v = va_arg(ap, const char *);
                r = network->net->set_text(key, nz(v));
            } else {
                int v = va_arg(ap, int);
                r = network->net->set_int(key, v);
            }
            if (is_ok(r))
                changed = true;
            else if (is_ok(result))
                result = r;
        }
    } catch (...) {
        result = fail(NCERR_INVALID);
    }
    if (changed)
        note_change(network);
    return result;
}

PLEXORD_API ncerr_t network_set(network_t *network, ...)
{
    va_list ap;
    va_start(ap, network);
    ncerr_t r = network_vset(network, ap);
    va_end(ap);
    return r;
}

PLEXORD_API int network_get_param_count(network_t *network)
{
    if (!network)
        return 0;
    try {
        return static_cast<int>(network->net->param_keys().size());
    } catch (...) {
        return 0;
    }
}

PLEXORD_API const char *network_get_param_key(network_t *network, int i)
{
    if (!network || i < 0)
        return nullptr;
    // Keys come from the plug-in's static table, except "name".
    if (i == 0)
        return "name";
    const pxp_type_t *t = network->net->type()->ops;
    int n = 0;
    for (int k = 0; k < t->param_count; ++k) {
        if (!t->params[k].key || std::strcmp(t->params[k].key, "name") == 0)
            continue;
        if (++n == i)
            return t->params[k].key;
    }
    return nullptr;
}

PLEXORD_API int network_get_param_kind(network_t *network, const char *key)
{
    if (!network || !key)
        return 0;
    try {
        return network->net->param_kind(key);
    } catch (...) {
        return 0;
    }
}

PLEXORD_API ncerr_t network_start(network_t *network)
{
    if (!network)
        return fail(NCERR_INVALID);
    try {
        return network->net->start();
    } catch (...) {
        return fail(NCERR_STATE);
    }
}

PLEXORD_API ncerr_t network_stop(network_t *network)
{
    if (!network)
        return fail(NCERR_INVALID);
    try {
        network->net->stop();
    } catch (...) {
        return fail(NCERR_STATE);
    }
    return ok();
}

PLEXORD_API ncerr_t network_restart(network_t *network)
{
    ncerr_t r = network_stop(network);
    return is_ok(r) ? network_start(network) : r;
}

PLEXORD_API ncerr_t network_reset_request(network_t *network)
{
    if (!network)
        return fail(NCERR_INVALID);
    network->queue.clear();
    return ok();
}

PLEXORD_API ncerr_t network_queue_read_integer(network_t *network, uint16_t device_id, const char *item,
                                               const char *flag)
{
    return queue_io(network, device_id, item, flag, PXP_READ, PXP_INTEGER, 0, 0);
}

PLEXORD_API ncerr_t network_queue_read_float(network_t *network, uint16_t device_id, const char *item,
                                             const char *flag)
{
    return queue_io(network, device_id, item, flag, PXP_READ, PXP_FLOAT, 0, 0);
}

PLEXORD_API ncerr_t network_queue_write_integer(network_t *network, uint16_t device_id, const char *item,
                                                const char *flag, long value)
{
    return queue_io(network, device_id, item, flag, PXP_WRITE, PXP_INTEGER, value, static_cast<double>(value));
}

PLEXORD_API ncerr_t network_queue_write_float(network_t *network, uint16_t device_id, const char *item,
                                              const char *flag, double value)
{
    return queue_io(network, device_id, item, flag, PXP_WRITE, PXP_FLOAT, to_int64(value), value);
}

PLEXORD_API ncerr_t network_flush(network_t *network)
{
    if (!network)
        return fail(NCERR_INVALID);
    try {
        return flush_queue(network);
    } catch (...) {
        return fail(NCERR_STATE);
    }
}

PLEXORD_API ncerr_t network_result_integer(network_t *network, uint16_t device_id, const char *item,
                                           const char *flag, long *value)
{
    QueuedIo *q = find_result(network, device_id, item, flag);
    if (!q)
        return fail(NCERR_NOT_QUEUED);
    if (value)
        *value = static_cast<long>(q->ivalue);
    return q->result;
}

PLEXORD_API ncerr_t network_result_float(network_t *network, uint16_t device_id, const char *item,
                                         const char *flag, double *value)
{
    QueuedIo *q = find_result(network, device_id, item, flag);
    if (!q)
        return fail(NCERR_NOT_QUEUED);
    if (value)
        *value = q->fvalue;
    return q->result;
}

} // extern "C"
