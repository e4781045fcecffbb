// Scheduled tasks and the thread that runs them.
#include <climits>
#include <cstring>

#include "core.h"

using namespace plexord;

namespace {

void free_target(sched_target_t &t)
{
    free(t.item);
    free(t.flag);
    t.item = t.flag = nullptr;
}

void free_operand(sched_operand_t &o)
{
    free(o.item);
    free(o.flag);
    o.item = o.flag = nullptr;
}

std::string setpoint_text(const std::string &item, const std::string &flag)
{
    return flag.empty() ? item : item + ":" + flag;
}

constexpr int64_t kGraceSeconds = 2;

int64_t current_slot(int64_t first, long interval, int64_t now)
{
    if (now < first)
        return INT64_MIN;
    if (interval <= 0)
        return first;
    return first + (now - first) / interval * interval;
}

bool compare(int op, double a, double b)
{
    switch (op) {
    case SCHED_OP_EQ: return a == b;
    case SCHED_OP_GT: return a > b;
    case SCHED_OP_GE: return a >= b;
    case SCHED_OP_LT: return a < b;
    case SCHED_OP_LE: return a <= b;
    case SCHED_OP_NE: return a != b;
    default: return false;
    }
}

TaskCopy copy_of(const plexord_task &t)
{
    TaskCopy c;
    c.id = t.id;
    c.name = nz(t.name);
    c.type = t.type;
    c.src_dev = t.source_device_id;
    c.src_item = nz(t.source_item);
    c.src_flag = nz(t.source_flag);
    c.dst_dev = t.target_device_id;
    c.dst_item = nz(t.target_item);
    c.dst_flag = nz(t.target_flag);
    c.fixed = t.fixed_value;
    auto op = [](const sched_operand_t &o) {
        TaskCopy::Operand r;
        r.fixed = o.is_fixed != 0;
        r.dev = o.device_id;
        r.item = nz(o.item);
        r.flag = nz(o.flag);
        r.value = o.value;
        return r;
    };
    const sched_condition_t &k = t.condition;
    c.left = op(k.left);
    c.right = op(k.right);
    c.op = k.op;
    c.then_dev = k.then_target.device_id;
    c.then_item = nz(k.then_target.item);
    c.then_flag = nz(k.then_target.flag);
    c.then_value = k.then_value;
    c.nothing_else = k.do_nothing_else != 0;
    c.else_dev = k.else_target.device_id;
    c.else_item = nz(k.else_target.item);
    c.else_flag = nz(k.else_target.flag);
    c.else_value = k.else_value;
    return c;
}

std::string task_label(const TaskCopy &t)
{
    std::string s = " ! Task " + std::to_string(t.id);
    if (!t.name.empty())
        s += " \"" + t.name + "\"";
    return s;
}

bool run_read(const TaskCopy &t, uint16_t dev, const std::string &item, const std::string &flag, double &v)
{
    ncerr_t r = io_read(dev, item, flag, 0, v);
    if (!is_ok(r))
        log_line(task_label(t) + ": reading " + setpoint_text(item, flag) + " of device " + std::to_string(dev) +
                 " failed: " + ncerr_get_string(r));
    return is_ok(r);
}

void run_write(const TaskCopy &t, uint16_t dev, const std::string &item, const std::string &flag, double v)
{
    ncerr_t r = io_write(dev, item, flag, 0, v);
    if (!is_ok(r))
        log_line(task_label(t) + ": writing " + setpoint_text(item, flag) + " of device " + std::to_string(dev) +
                 " failed: " + ncerr_get_string(r));
}

} // namespace

plexord_task::plexord_task() : sched_task_t{} {}

plexord_task::~plexord_task()
{
    free(name);
    free(source_item);
    free(source_flag);
    free(target_item);
    free(target_flag);
    free_operand(condition.left);
    free_operand(condition.right);
    free_target(condition.then_target);
    free_target(condition.else_target);
}

plexord_task *plexord_scheduler::create(int type, int want_id)
{
    std::lock_guard lk(m);
    int id = want_id;
    if (id <= 0) {
        while (next < INT_MAX && used.count(next))
            ++next;
        if (next == INT_MAX)
            return nullptr;
        id = next++;
    } else if (used.count(id)) {
        return nullptr;
    }
    auto t = std::make_unique<plexord_task>();
    t->id = id;
    t->type = type;
    t->first = dt_now();
    t->interval = 60;
    t->condition.op = SCHED_OP_EQ;
    t->condition.right.is_fixed = 1;
    used.insert(id);
    all.push_back(std::move(t));
    return all.back().get();
}

void plexord_scheduler::start()
{
    std::lock_guard lk(run_m);
    if (running)
        return;
    running = true;
    stopping = false;
    th = std::thread([this] { run(); });
}

void plexord_scheduler::stop()
{
    {
        std::lock_guard lk(run_m);
        if (!running)
            return;
        stopping = true;
    }
    cv.notify_all();
    th.join();
    std::lock_guard lk(run_m);
    running = false;
    stopping = false;
}

void plexord_scheduler::clear()
{
    stop();
    std::lock_guard lk(m);
    active.clear();
    all.clear();
    used.clear();
    next = 1;
}

void plexord_scheduler::run()
{
    std::unique_lock lk(run_m);
    while (!stopping) {
        lk.unlock();
        try {
            tick(dt_now());
        } catch (...) {
            log_line(" ! Scheduler: a task run failed");
        }
        lk.lock();
        // Whole seconds are the tasks' resolution; a quarter second keeps
        // runs close to their time.
        cv.wait_for(lk, std::chrono::milliseconds(250), [&] { return stopping; });
    }
}

void plexord_scheduler::tick(int64_t now)
{
    std::vector<plexord_task *> tasks;
    {
        std::lock_guard lk(m);
        for (auto &[id, t] : active)
            tasks.push_back(t);
    }
    for (plexord_task *t : tasks) {
        {
            std::lock_guard lk(run_m);
            if (stopping)
                return;
        }
        // A task held for editing is looked at again at the next tick.
        if (!t->lock.lock_shared_for(20))
            continue;
        TaskCopy copy = copy_of(*t);
        int64_t first = t->first;
        long interval = t->interval;
        unsigned timing = t->timing.load();
        t->lock.release();

        int64_t slot = current_slot(first, interval, now);
        if (timing != t->timing_seen) {
            // New or rescheduled: runs that fell before now are not made up,
            // but one that just came due (first time "now") is not lost.
            t->timing_seen = timing;
            t->last_slot = slot != INT64_MIN && now - slot > kGraceSeconds ? slot : INT64_MIN;
        }
        if (slot == INT64_MIN || slot == t->last_slot)
            continue;
        t->last_slot = slot;
        execute(copy);
    }
}

void plexord_scheduler::execute(const TaskCopy &t)
{
    switch (t.type) {
    case SCHED_TASK_COPY: {
        double v = 0;
        if (run_read(t, t.src_dev, t.src_item, t.src_flag, v))
            run_write(t, t.dst_dev, t.dst_item, t.dst_flag, v);
        break;
    }
    case SCHED_TASK_FIXED:
        run_write(t, t.dst_dev, t.dst_item, t.dst_flag, t.fixed);
        break;
    case SCHED_TASK_CONDITION: {
        double a = t.left.value, b = t.right.value;
        if (!t.left.fixed && !run_read(t, t.left.dev, t.left.item, t.left.flag, a))
            break;
        if (!t.right.fixed && !run_read(t, t.right.dev, t.right.item, t.right.flag, b))
            break;
        if (compare(t.op, a, b))
            run_write(t, t.then_dev, t.then_item, t.then_flag, t.then_value);
        else if (!t.nothing_else)
            run_write(t, t.else_dev, t.else_item, t.else_flag, t.else_value);
        break;
    }
    default:
        log_line(task_label(t) + ": unknown task type " + std::to_string(t.type));
    }
}

namespace plexord {

namespace {

ncerr_t io_one(bool write, uint16_t device, const std::string &item, const std::string &flag, uint32_t client,
               double &value)
{
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    if (item.empty())
        return fail(NCERR_INVALID);
    DeviceInfo di;
    if (!c->devices.info(device, di))
        return fail(NCERR_NO_DEVICE);
    network_t *h = c->networks.fetch(di.network_id, 1000);
    if (!h)
        return fail(NCERR_NO_NETWORK);
    int req = write ? NCEVENT_WRITE_REQUEST : NCEVENT_READ_REQUEST;
    post_io(req, di.network_id, device, client, item, flag, write ? value : 0.0, ok());
    ncerr_t r;
    try {
        QueuedIo q{device, item, flag, write ? PXP_WRITE : PXP_READ, PXP_FLOAT, 0, value, fail(NCERR_STATE), false};
        h->queue.push_back(std::move(q));
        flush_queue(h);
        r = h->queue.front().result;
        if (!write && is_ok(r))
            value = h->queue.front().fvalue;
    } catch (...) {
        r = fail(NCERR_STATE);
    }
    post_io(req + 1, di.network_id, device, client, item, flag, value, r);
    c->networks.drop(h);
    return r;
}

} // namespace

ncerr_t io_read(uint16_t device, const std::string &item, const std::string &flag, uint32_t client, double &value)
{
    value = 0;
    return io_one(false, device, item, flag, client, value);
}

ncerr_t io_write(uint16_t device, const std::string &item, const std::string &flag, uint32_t client, double value)
{
    return io_one(true, device, item, flag, client, value);
}

} // namespace plexord

namespace {

plexord_task *task(sched_task_t *t)
{
    return static_cast<plexord_task *>(t);
}

thread_local IdWalk<int, -1> t_walk;

void changed(plexord_task *t)
{
    if (t->in_manager)
        touch();
}

ncerr_t set_text(sched_task_t *t, char *sched_task_t::*field, const char *value)
{
    if (!t)
        return fail(NCERR_INVALID);
    set_cstr(t->*field, value, true);
    changed(task(t));
    return ok();
}

template <typename T>
ncerr_t set_value(sched_task_t *t, T sched_task_t::*field, T value)
{
    if (!t)
        return fail(NCERR_INVALID);
    t->*field = value;
    changed(task(t));
    return ok();
}

} // namespace

extern "C" {

PLEXORD_API sched_task_t *scheduler_task_new(int type)
{
    Core *c = core();
    if (!c || type < SCHED_TASK_COPY || type > SCHED_TASK_CONDITION)
        return nullptr;
    try {
        return c->sched.create(type);
    } catch (...) {
        return nullptr;
    }
}

PLEXORD_API ncerr_t scheduler_add_task(scheduler_t *sched, sched_task_t *t, int flags)
{
    (void)flags;
    if (!sched || !t)
        return fail(NCERR_INVALID);
    plexord_task *p = task(t);
    try {
        std::lock_guard lk(sched->m);
        if (p->in_manager || sched->active.count(p->id))
            return fail(NCERR_INVALID);
        sched->active[p->id] = p;
        p->in_manager = true;
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    touch();
    return ok();
}

PLEXORD_API ncerr_t scheduler_remove_task(scheduler_t *sched, int id)
{
    if (!sched)
        return fail(NCERR_INVALID);
    {
        std::lock_guard lk(sched->m);
        auto it = sched->active.find(id);
        if (it == sched->active.end())
            return fail(NCERR_INVALID);
        it->second->in_manager = false;
        sched->active.erase(it);
    }
    touch();
    return ok();
}

PLEXORD_API int scheduler_get_task_count(scheduler_t *sched)
{
    if (!sched)
        return 0;
    std::lock_guard lk(sched->m);
    return static_cast<int>(sched->active.size());
}

PLEXORD_API sched_task_t *scheduler_fetch_task(scheduler_t *sched, int id, int mode)
{
    if (!sched)
        return nullptr;
    plexord_task *t;
    {
        std::lock_guard lk(sched->m);
        auto it = sched->active.find(id);
        if (it == sched->active.end())
            return nullptr;
        t = it->second;
    }
    if (!(mode == 1 ? t->lock.lock_for(kFetchWaitMs) : t->lock.lock_shared_for(kFetchWaitMs)))
        return nullptr;
    std::lock_guard lk(sched->m);
    if (!t->in_manager) {
        t->lock.release();
        return nullptr;
    }
    return t;
}

PLEXORD_API void scheduler_drop_task(scheduler_t *sched, sched_task_t *t)
{
    (void)sched;
    if (!t)
        return;
    plexord_task *p = task(t);
    if (!p->lock.held())
        return; // dropped twice, or never fetched by this thread
    // Direct edits of the condition are not seen by a setter.
    if (p->lock.exclusive())
        changed(p);
    p->lock.release();
}

PLEXORD_API void scheduler_iterate_start(scheduler_t *sched)
{
    t_walk.start([&] {
        std::vector<int> ids;
        if (sched) {
            std::lock_guard lk(sched->m);
            for (auto &[id, t] : sched->active)
                ids.push_back(id);
        }
        return ids;
    });
}

PLEXORD_API int scheduler_iterate_get_next(scheduler_t *sched)
{
    (void)sched;
    return t_walk.next();
}

PLEXORD_API void scheduler_iterate_end(scheduler_t *sched)
{
    (void)sched;
    t_walk.end();
}

PLEXORD_API int scheduler_task_get_id(sched_task_t *t)
{
    return t ? t->id : -1;
}

PLEXORD_API const char *scheduler_task_get_name(sched_task_t *t)
{
    return t ? t->name : nullptr;
}

PLEXORD_API int scheduler_task_get_type(sched_task_t *t)
{
    return t ? t->type : -1;
}

PLEXORD_API ncerr_t scheduler_task_set_name(sched_task_t *t, const char *name)
{
    return set_text(t, &sched_task_t::name, name);
}

PLEXORD_API ncerr_t scheduler_task_change_type(sched_task_t *t, int type)
{
    if (!t || type < SCHED_TASK_COPY || type > SCHED_TASK_CONDITION)
        return fail(NCERR_INVALID);
    t->type = type;
    changed(task(t));
    return ok();
}

PLEXORD_API ux_datetime_t scheduler_task_get_first_date_time(sched_task_t *t)
{
    return t ? t->first : 0;
}

PLEXORD_API ncerr_t scheduler_task_set_first_date_time(sched_task_t *t, ux_datetime_t first)
{
    if (!t)
        return fail(NCERR_INVALID);
    t->first = first;
    ++task(t)->timing;
    changed(task(t));
    return ok();
}

PLEXORD_API long scheduler_task_get_interval(sched_task_t *t)
{
    return t ? t->interval : 0;
}

PLEXORD_API ncerr_t scheduler_task_set_interval(sched_task_t *t, long seconds)
{
    if (!t)
        return fail(NCERR_INVALID);
    t->interval = seconds < 0 ? 0 : seconds;
    ++task(t)->timing;
    changed(task(t));
    return ok();
}

PLEXORD_API void scheduler_task_get_interval_span(sched_task_t *t, int *days, int *seconds)
{
    long iv = t && t->interval > 0 ? t->interval : 0;
    long d = iv / 86400;
    if (days)
        *days = d > INT_MAX ? INT_MAX : static_cast<int>(d);
    if (seconds)
        *seconds = static_cast<int>(iv % 86400);
}

PLEXORD_API double scheduler_task_get_fixed_value(sched_task_t *t)
{
    return t ? t->fixed_value : 0.0;
}

PLEXORD_API ncerr_t scheduler_task_set_fixed_value(sched_task_t *t, double value)
{
    return set_value(t, &sched_task_t::fixed_value, value);
}

PLEXORD_API ncerr_t scheduler_task_set_source_device(sched_task_t *t, uint16_t device_id)
{
    return set_value(t, &sched_task_t::source_device_id, device_id);
}

PLEXORD_API ncerr_t scheduler_task_set_source_item(sched_task_t *t, const char *item)
{
    return set_text(t, &sched_task_t::source_item, item);
}

PLEXORD_API ncerr_t scheduler_task_set_source_flag(sched_task_t *t, const char *flag)
{
    return set_text(t, &sched_task_t::source_flag, flag);
}

PLEXORD_API ncerr_t scheduler_task_set_target_device(sched_task_t *t, uint16_t device_id)
{
    return set_value(t, &sched_task_t::target_device_id, device_id);
}

PLEXORD_API ncerr_t scheduler_task_set_target_item(sched_task_t *t, const char *item)
{
    return set_text(t, &sched_task_t::target_item, item);
}

PLEXORD_API ncerr_t scheduler_task_set_target_flag(sched_task_t *t, const char *flag)
{
    return set_text(t, &sched_task_t::target_flag, flag);
}

PLEXORD_API sched_condition_t *scheduler_task_get_condition(sched_task_t *t)
{
    return t ? &t->condition : nullptr;
}

} // extern "C"
