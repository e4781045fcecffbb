// The inside of the server core: the objects behind the C handles and the
// one Core instance that owns them between plexord_init and
// plexord_finalize.
#ifndef PLEXORD_CORE_H
#define PLEXORD_CORE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "plexord.h"
#include "plexord_plugin.h"
#include "mqtt.h"
#include "scan.h"
#include "util.h"

namespace plexord {

constexpr int kFetchWaitMs = 3000; // fetches that take a mode instead of a wait

ncerr_t ok();
ncerr_t fail(int cls, int detail = 0, int plugin = 0);
inline bool is_ok(ncerr_t r) { return r.code == NCERR_OK && r.detail == 0; }

// Runs the body of a C entry point: no exception may cross the library
// boundary, so any failure inside becomes the fallback answer.
template <typename F>
auto guarded(F &&body, decltype(body()) fallback) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

// A thread's walk over a snapshot of ids, as the C API's iterate_start,
// iterate_get_next and iterate_end offer it; End is the answer after the last.
template <typename Id, Id End>
class IdWalk {
public:
    template <typename F>
    void start(F &&snapshot)
    {
        pos_ = 0;
        try {
            ids_ = snapshot();
        } catch (...) {
            ids_.clear();
        }
    }
    Id next() { return pos_ < ids_.size() ? ids_[pos_++] : End; }
    void end()
    {
        ids_.clear();
        pos_ = 0;
    }

private:
    std::vector<Id> ids_;
    size_t pos_ = 0;
};

// The C entry points that the network, device and user managers have alike.
// Get answers the manager, null without a core. Each manager has its own
// walk per thread, so walks over different managers do not disturb each other.
template <auto Get>
struct ManagerCalls {
    template <typename... A>
    static auto create(A... a) -> decltype(Get()->create(a...))
    {
        auto *m = Get();
        return m ? guarded([&] { return m->create(a...); }, nullptr) : nullptr;
    }
    template <typename H>
    static ncerr_t add(H *h)
    {
        auto *m = Get();
        return m ? guarded([&] { return m->add(h); }, fail(NCERR_INVALID)) : fail(NCERR_STATE);
    }
    static ncerr_t remove(uint16_t id)
    {
        auto *m = Get();
        return m ? guarded([&] { return m->remove(id); }, fail(NCERR_INVALID)) : fail(NCERR_STATE);
    }
    static int count()
    {
        auto *m = Get();
        return m ? static_cast<int>(m->count()) : 0;
    }
    template <typename... A>
    static auto fetch(A... a) -> decltype(Get()->fetch(a...))
    {
        auto *m = Get();
        return m ? guarded([&] { return m->fetch(a...); }, nullptr) : nullptr;
    }
    template <typename H>
    static void drop(H *h)
    {
        if (auto *m = Get())
            m->drop(h);
    }
    static void iterate_start()
    {
        auto *m = Get();
        walk.start([&] { return m ? m->ids() : std::vector<uint16_t>{}; });
    }
    static uint16_t iterate_next() { return walk.next(); }
    static void iterate_end() { walk.end(); }

private:
    static inline thread_local IdWalk<uint16_t, 0> walk;
};

// ---- events -------------------------------------------------------------

class EventQueue {
public:
    explicit EventQueue(ncevent_callback_t cb) : cb_(cb) {}
    ~EventQueue();
    void start();
    // Delivers what is queued, then joins the thread.
    void stop();
    // Takes ownership of an event made with ncevent_copy.
    void post(ncevent_t *ev);

private:
    void run();
    ncevent_callback_t cb_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<ncevent_t *> q_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread th_;
};

// ---- documentation --------------------------------------------------------

struct DocEntry {
    std::string item;
    std::string description;
};
std::vector<DocEntry> parse_doc(std::string_view text);

} // namespace plexord

struct plexord_doc {
    std::shared_mutex m;
    std::vector<plexord::DocEntry> entries;
    std::map<std::string, size_t> exact; // item -> first entry
    std::map<std::string, size_t> folded; // lower-case item -> first entry
    bool stored = false;                  // owned by the core's store
    void assign(std::vector<plexord::DocEntry> e);
    const char *best(const char *item) const;
};

struct plexord_hwinfo {
    std::string name;
    std::string icon;
    std::string backup_path; // full path, empty when none
    std::string doc_path;    // full path, empty when none
    doc_t *doc = nullptr;
};

struct plexord_hwiter {
    size_t pos = 0;
};

namespace plexord {

class DocStore {
public:
    // The documentation of a file, loaded (again) now; the handle is the
    // same for the same path. ok is false when the file could not be read.
    doc_t *load(const std::string &path, bool &ok, int &err);
    void clear();

private:
    std::mutex m_;
    std::map<std::string, std::unique_ptr<plexord_doc>> docs_;
};

class HardwareRegistry {
public:
    void load(const std::string &data_dir, DocStore &docs);
    hwinfo_t *find(const std::string &name) const;
    size_t count() const { return list_.size(); }
    hwinfo_t *at(size_t i) const { return i < list_.size() ? list_[i].get() : nullptr; }
    void clear() { list_.clear(); }

private:
    std::vector<std::unique_ptr<plexord_hwinfo>> list_;
};

// ---- plug-ins -------------------------------------------------------------

struct NetworkType {
    const pxp_type_t *ops;
    int plugin; // load order, from 1
    std::string key;
    std::string label;
};

class PluginRegistry {
public:
    ~PluginRegistry();
    void load_folder(const std::string &dir);
    const NetworkType *find(const std::string &key) const;
    size_t count() const { return types_.size(); }
    const NetworkType *at(size_t i) const { return i < types_.size() ? types_[i].get() : nullptr; }
    std::string status_text(int plugin, int status) const;
    std::string plugin_name(int plugin) const;
    void unload();

private:
    mutable std::shared_mutex m_; // readers: result texts from any thread
    struct Lib {
        void *handle;
        std::string name;
        const pxp_plugin_t *desc;
    };
    std::vector<Lib> libs_;
    std::vector<std::unique_ptr<NetworkType>> types_;
};

// ---- networks -------------------------------------------------------------

struct Param {
    int kind;
    std::string text;
    int value = 0;
};

struct Job {
    std::vector<pxp_request_t> reqs;
    int batch_status = 0;
    int batch_class = 0; // set when the job was not performed
    bool done = false;
    bool priority = false; // goes ahead of the batches waiting
};

class Network {
public:
    // Creates the plug-in's object; valid() tells whether that worked.
    Network(uint16_t id, const NetworkType *type);
    bool valid() const { return obj_ != nullptr; }
    ~Network();
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    uint16_t id() const { return id_; }
    const NetworkType *type() const { return type_; }

    std::string name();
    void set_name(const std::string &n);
    // Parameter access for the C functions; kind 0 for unknown keys.
    int param_kind(const std::string &key);
    std::vector<std::string> param_keys();
    bool get_param(const std::string &key, Param &out);
    ncerr_t set_text(const std::string &key, const std::string &v);
    ncerr_t set_int(const std::string &key, int v);

    // Returns at once: the worker makes the link.
    ncerr_t start();
    // Aborts, then waits for the worker; requests it had not finished fail
    // as aborted.
    void stop();
    // The first half of stop, for callers that stop several networks or
    // need a flush in flight to return before they can stop: the worker
    // stops at once, takes no more batches, and the plug-in's waits are cut.
    void signal_stop();
    bool running();
    // Performs the batch on the worker; false when the network is stopped.
    bool perform(Job &job);

    std::atomic<bool> in_manager{false};
    std::atomic<bool> removed{false};
    RwLock lock; // shared by fetched handles, exclusive by a removal

private:
    ncerr_t push_params(); // with pm_ held, network stopped
    // On the worker after a batch: a plug-in may record in a parameter what
    // a batch taught it; the cache and the configuration follow.
    void pull_params();
    void worker();
    // Under qm_: every batch not yet taken by the worker fails as aborted.
    void fail_waiting_jobs();
    ncerr_t plugin_fail(int cls, int status) { return fail(cls, status, type_->plugin); }

    const uint16_t id_;
    const NetworkType *type_;
    std::unique_ptr<pxp_host_t> host_; // outlives obj_
    void *obj_ = nullptr;
    std::mutex pm_;    // parameters and every plug-in call outside perform
    std::mutex run_m_; // start and stop, one at a time
    std::string name_;
    std::map<std::string, Param> params_;
    std::vector<std::string> order_;
    bool pending_ = false; // parameters changed while running

    std::mutex qm_;
    std::condition_variable qcv_;
    std::condition_variable done_cv_;
    std::deque<Job *> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

struct QueuedIo {
    uint16_t device;
    std::string item;
    std::string flag;
    int op;
    int kind;
    int64_t ivalue = 0;
    double fvalue = 0;
    ncerr_t result{};
    bool taken = false;
};

} // namespace plexord

struct plexord_network {
    std::shared_ptr<plexord::Network> net;
    std::vector<plexord::QueuedIo> queue;
    std::map<std::string, std::string> texts; // texts handed out by network_get
    bool fetched = false;
    bool changed = false;
};

namespace plexord {

class NetworkManager {
public:
    network_t *create(const NetworkType *type, uint16_t want_id = 0);
    ncerr_t add(network_t *h);
    ncerr_t remove(uint16_t id);
    network_t *fetch(uint16_t id, int wait_ms);
    void drop(network_t *h);
    std::vector<uint16_t> ids();
    std::shared_ptr<Network> get(uint16_t id);
    size_t count();
    bool reserve_id(uint16_t id);
    void start_all();
    // Signals every network first, so that they all wind down at once.
    void stop_all();
    void signal_all();
    void clear();

private:
    uint16_t next_id_locked();
    std::vector<std::shared_ptr<Network>> snapshot();
    std::mutex m_;
    std::map<uint16_t, std::shared_ptr<Network>> active_;
    std::vector<std::unique_ptr<plexord_network>> primaries_; // handles of created networks
    std::set<plexord_network *> fetched_;
    std::set<uint16_t> used_;
    uint32_t next_ = 1;
};

// Runs a queued batch for a handle: the work of network_flush.
ncerr_t flush_queue(plexord_network *h, bool priority = false);

// ---- devices ----------------------------------------------------------------

// What the device and user managers keep alike: every record they made
// (alive until clear, for holders of a handle to a removed one), the ones in
// the manager by id, and the ids handed out, which are not given again.
template <typename T>
class Records {
public:
    std::vector<uint16_t> ids()
    {
        std::lock_guard lk(m_);
        std::vector<uint16_t> v;
        for (auto &[id, r] : active_)
            v.push_back(id);
        return v;
    }
    T *get(uint16_t id)
    {
        std::lock_guard lk(m_);
        auto it = active_.find(id);
        return it == active_.end() ? nullptr : it->second;
    }
    size_t count()
    {
        std::lock_guard lk(m_);
        return active_.size();
    }
    void clear()
    {
        std::lock_guard lk(m_);
        active_.clear();
        all_.clear();
        used_.clear();
        next_ = 1;
    }

protected:
    // With m_ held: want_id when it is unused, for 0 the next unused id;
    // 0 when there is none.
    uint16_t take_id_locked(uint16_t want_id)
    {
        if (want_id != 0)
            return used_.count(want_id) ? 0 : want_id;
        while (next_ <= 0xffff && used_.count(static_cast<uint16_t>(next_)))
            ++next_;
        return next_ <= 0xffff ? static_cast<uint16_t>(next_++) : 0;
    }
    // With m_ held: keeps a new record and marks its id used.
    T *keep_locked(std::unique_ptr<T> r)
    {
        used_.insert(r->id);
        all_.push_back(std::move(r));
        return all_.back().get();
    }

    std::mutex m_;
    std::map<uint16_t, T *> active_;
    std::vector<std::unique_ptr<T>> all_;
    std::set<uint16_t> used_;
    uint32_t next_ = 1;
};

struct CacheEntry {
    int64_t ivalue;
    double fvalue;
    std::chrono::steady_clock::time_point when;
};

} // namespace plexord

struct plexord_dev : device_t {
    plexord::OwnedLock lock;
    std::mutex data; // guards the record against the core's own readers
    bool cache_enforced = false;
    int64_t max_age = 0;
    std::map<std::string, plexord::CacheEntry> cache;
    doc_t *doc = nullptr;
    std::string hw_missing; // hardware named by the configuration but not installed
    // The scan list, from the configuration; the text is saved as it was read.
    std::string scan_text;
    std::vector<plexord::ScanPoint> scan;
    long scan_interval_ms = 0; // 0: not scanned
    unsigned scan_keepalive = 0;
    bool in_manager = false;
    bool removed = false;
    std::atomic<bool> changed{false};
    ~plexord_dev();
};

namespace plexord {

struct DeviceInfo {
    uint16_t network_id = 0;
    std::string name;
    std::string address;
    std::string doc_path; // full path of its documentation file, empty when none
};

class DeviceManager : public Records<plexord_dev> {
public:
    plexord_dev *create(uint16_t network_id, uint16_t want_id = 0);
    ncerr_t add(device_t *d);
    ncerr_t remove(uint16_t id);
    device_t *fetch(uint16_t id, int mode, int wait_ms);
    void drop(device_t *d);
    // The core's own view of a device, without fetching it.
    bool info(uint16_t id, DeviceInfo &out);
    void changed(plexord_dev *d); // announce now or at the drop
};

// ---- users -------------------------------------------------------------------

} // namespace plexord

struct plexord_user {
    uint16_t id = 0;
    std::string name, password, read, write;
    plexord::OwnedLock lock;
    std::mutex data;
    bool in_manager = false;
};

namespace plexord {

class UserManager : public Records<plexord_user> {
public:
    user_t *create(uint16_t want_id = 0);
    ncerr_t add(user_t *u);
    ncerr_t remove(uint16_t id);
    user_t *fetch(uint16_t id, int mode, int wait_ms);
    void drop(user_t *u);
};

std::string hash_password(const std::string &clear, bool fast);
// A hash libsodium can verify; any other text is a clear password.
bool is_password_hash(const std::string &text);

// ---- scheduler --------------------------------------------------------------

// A task's data copied out for a run, so that no lock is held during I/O.
struct TaskCopy {
    int id = 0;
    std::string name;
    int type = 0;
    uint16_t src_dev = 0, dst_dev = 0;
    std::string src_item, src_flag, dst_item, dst_flag;
    double fixed = 0;
    struct Operand {
        bool fixed = true;
        uint16_t dev = 0;
        std::string item, flag;
        double value = 0;
    } left, right;
    int op = 1;
    uint16_t then_dev = 0, else_dev = 0;
    std::string then_item, then_flag, else_item, else_flag;
    double then_value = 0, else_value = 0;
    bool nothing_else = false;
};

} // namespace plexord

struct plexord_task : sched_task_t {
    plexord::OwnedLock lock;
    std::atomic<unsigned> timing{1}; // bumped when first or interval change
    unsigned timing_seen = 0;        // scheduler thread only
    int64_t last_slot = INT64_MIN;   // scheduler thread only
    bool in_manager = false;
    plexord_task();
    ~plexord_task();
};

struct plexord_scheduler {
    std::mutex m;
    std::map<int, plexord_task *> active;
    std::vector<std::unique_ptr<plexord_task>> all;
    std::set<int> used;
    int next = 1;

    std::mutex run_m;
    std::condition_variable cv;
    bool running = false;
    bool stopping = false;
    std::thread th;

    plexord_task *create(int type, int want_id = 0);
    void start();
    void stop();
    void clear();
    void run();
    void tick(int64_t now);
    void execute(const plexord::TaskCopy &t);
};

namespace plexord {

// ---- the core -----------------------------------------------------------------

struct Core {
    std::string config_dir, data_dir, plugin_dir, config_path;
    unsigned flags = 0;
    EventQueue events;
    PluginRegistry plugins;
    DocStore docs;
    HardwareRegistry hardware;
    NetworkManager networks;
    DeviceManager devices;
    UserManager users;
    plexord_scheduler sched;
    Scanner scanner;
    mqtt::Settings mqtt;           // from the configuration
    bool mqtt_section = false;     // the file has one: saved again even without a host
    bool mqtt_usable = true;
    std::string mqtt_password_sealed; // as the file had it, when it could not be unsealed
    std::unique_ptr<mqtt::Writer> mqtt_writer;
    std::shared_ptr<mqtt::Publisher> publisher;
    // The broker connection's client id while it is up, else 0: the scan
    // reads and the set topics' writes are its I/O.
    std::atomic<uint32_t> mqtt_client{0};
    std::atomic<bool> local_challenge{false};
    std::atomic<int> clients{0};
    std::mutex listen_m; // the listen address and port, set from any thread
    std::string listen_address = "127.0.0.1";
    int listen_port = 7878;
    bool listen_held = false; // PLEXORD_INIT_NO_LISTEN until plexord_set_listen

    std::atomic<bool> dirty{false};
    bool keep_file = false; // loaded file was malformed: keep it until a change
    bool plugins_loaded = false, config_loaded = false;
    std::atomic<bool> started{false};
    std::unique_ptr<inifile_t, void (*)(inifile_t *)> preserved{nullptr, inifile_delete};

    explicit Core(ncevent_callback_t cb) : events(cb) {}
};

Core *core();
void log_line(const std::string &line); // posts a log event
void touch();                      // marks the configuration changed
void post_simple(int type, uint16_t device, uint16_t network);
void post_io(int type, uint16_t network, uint16_t device, uint32_t client, const std::string &item,
             const std::string &flag, double value, ncerr_t result);

// Client ids are shared by remote clients and the broker connection.
uint32_t new_client_id();
void post_client(int type, uint32_t id, const std::string &text);

// The broker's publisher, when one is configured; stopped after the scan.
void mqtt_start(Core &c);
void mqtt_stop(Core &c);

ncerr_t load_config(Core &c);
ncerr_t save_config(Core &c);

// Scheduled and remote I/O of one setpoint, announced as I/O events.
ncerr_t io_read(uint16_t device, const std::string &item, const std::string &flag, uint32_t client, double &value);
ncerr_t io_write(uint16_t device, const std::string &item, const std::string &flag, uint32_t client, double value);

} // namespace plexord

#endif
