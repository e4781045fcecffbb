#include "support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace test {

const char *const kPluginDir = PLEXORD_TEST_PLUGIN_DIR;
const char *const kDataDir = PLEXORD_TEST_DATA_DIR;

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "plexord-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

Recorder &Recorder::get()
{
    static Recorder r;
    return r;
}

void Recorder::callback(const ncevent_t *ev)
{
    if (!ev)
        return;
    // Client events carry their text in client_text; it is kept as the message.
    const char *text = ev->message ? ev->message : ev->client_text ? ev->client_text : "";
    Event e{ev->type, ev->result, text, ev->item ? ev->item : "",
            ev->flag ? ev->flag : "", ev->client_id, ev->device_id, ev->network_id, ev->value,
            std::this_thread::get_id()};
    Recorder &r = get();
    {
        std::lock_guard lk(r.m_);
        r.events_.push_back(std::move(e));
    }
    r.cv_.notify_all();
}

void Recorder::clear()
{
    std::lock_guard lk(m_);
    events_.clear();
}

std::vector<Event> Recorder::events()
{
    std::lock_guard lk(m_);
    return events_;
}

std::vector<std::string> Recorder::log_lines()
{
    std::vector<std::string> lines;
    for (const Event &e : events())
        if (e.type == NCEVENT_LOG)
            lines.push_back(e.message);
    return lines;
}

bool Recorder::wait(const std::function<bool(const std::vector<Event> &)> &pred, int ms)
{
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return pred(events_); });
}

bool Recorder::wait_log(const std::string &part, int ms)
{
    return wait(
        [&](const std::vector<Event> &ev) {
            for (const Event &e : ev)
                if (e.type == NCEVENT_LOG && e.message.find(part) != std::string::npos)
                    return true;
            return false;
        },
        ms);
}

Session::Session(const std::string &config_dir, unsigned flags, bool start)
{
    Recorder::get().clear();
    ncerr_t r = plexord_init(config_dir.c_str(), kDataDir, kPluginDir, Recorder::callback,
                             flags | PLEXORD_INIT_NO_LISTEN, nullptr);
    EXPECT_TRUE(ok(r));
    plexord_load_plugins();
    plexord_load_config();
    if (start)
        plexord_start();
}

Session::~Session()
{
    if (!done_)
        plexord_finalize();
}

void Session::finish()
{
    plexord_save_config();
    plexord_stop();
    plexord_finalize();
    done_ = true;
}

uint16_t add_db_network(const char *name, const char *filename, int delay)
{
    network_t *n = plexord_create_network("db");
    EXPECT_NE(n, nullptr);
    if (!n)
        return 0;
    EXPECT_TRUE(ok(network_set(n, "name", name, "filename", filename, "delay", delay, (char *)nullptr)));
    networkmgr_add_network(n);
    network_start(n);
    return network_get_id(n);
}

uint16_t add_device(uint16_t network, const char *name, const char *address)
{
    device_t *d = device_new(network);
    EXPECT_NE(d, nullptr);
    if (!d)
        return 0;
    device_set_name(d, name);
    device_set_address(d, address);
    devicemgr_add_device(d);
    return d->id;
}

namespace {

template <typename Queue, typename Result> ncerr_t one(uint16_t device, Queue &&queue, Result &&result)
{
    device_t *d = devicemgr_fetch_device(device, 0);
    if (!d)
        return ncerr_t{2, 0};
    uint16_t nid = d->network_id;
    devicemgr_drop_device(d);
    network_t *n = networkmgr_fetch_network(nid, 1000);
    if (!n)
        return ncerr_t{3, 0};
    network_reset_request(n);
    queue(n);
    network_flush(n);
    ncerr_t r = result(n);
    networkmgr_drop_network(n);
    return r;
}

} // namespace

ncerr_t read_float(uint16_t device, const char *item, const char *flag, double &value)
{
    return one(
        device, [&](network_t *n) { network_queue_read_float(n, device, item, flag); },
        [&](network_t *n) { return network_result_float(n, device, item, flag, &value); });
}

ncerr_t write_float(uint16_t device, const char *item, const char *flag, double value)
{
    return one(
        device, [&](network_t *n) { network_queue_write_float(n, device, item, flag, value); },
        [&](network_t *n) { return network_result_float(n, device, item, flag, &value); });
}

ncerr_t read_int(uint16_t device, const char *item, const char *flag, long &value)
{
    return one(
        device, [&](network_t *n) { network_queue_read_integer(n, device, item, flag); },
        [&](network_t *n) { return network_result_integer(n, device, item, flag, &value); });
}

ncerr_t write_int(uint16_t device, const char *item, const char *flag, long value)
{
    return one(
        device, [&](network_t *n) { network_queue_write_integer(n, device, item, flag, value); },
        [&](network_t *n) { return network_result_integer(n, device, item, flag, &value); });
}

} // namespace test
