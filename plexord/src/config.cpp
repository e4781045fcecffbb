// The configuration file and the demo plant that replaces a missing one.
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "core.h"
#include "secrets.h"

namespace fs = std::filesystem;

namespace plexord {

namespace {

// The file holds password hashes: its owner's alone, as is its copy.
constexpr unsigned kSecretMode = 0600;

using IniPtr = std::unique_ptr<inifile_t, void (*)(inifile_t *)>;

IniPtr new_ini()
{
    IniPtr p(inifile_new(), inifile_delete);
    if (!p)
        throw std::bad_alloc();
    return p;
}

// Line numbers of sections and keys, so that a problem found after parsing
// can still be reported as file:line.
class LineIndex {
public:
    explicit LineIndex(const std::string &text)
    {
        std::string section;
        size_t line = 0;
        std::istringstream in(text);
        for (std::string raw; std::getline(in, raw);) {
            ++line;
            std::string t = trim(raw);
            if (t.empty() || t[0] == ';' || t[0] == '#')
                continue;
            if (t[0] == '[' && t.back() == ']') {
                section = lower(trim(t.substr(1, t.size() - 2)));
                sections_.emplace(section, line);
                continue;
            }
            size_t eq = t.find('=');
            if (eq != std::string::npos)
                keys_[section + '\n' + lower(trim(t.substr(0, eq)))] = line;
        }
    }
    size_t at(const std::string &section, const std::string &key = {}) const
    {
        if (!key.empty()) {
            auto it = keys_.find(lower(section) + '\n' + lower(key));
            if (it != keys_.end())
                return it->second;
        }
        auto it = sections_.find(lower(section));
        return it == sections_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, size_t> sections_;
    std::map<std::string, size_t> keys_;
};

class Loader {
public:
    Loader(Core &c, inifile_t *ini, const LineIndex &lines) : c_(c), ini_(ini), lines_(lines) {}

    bool malformed = false;

    void problem(const std::string &section, const std::string &key, const std::string &what, bool bad = true)
    {
        log_line(" ! " + c_.config_path + ":" + std::to_string(lines_.at(section, key)) + ": " + what);
        if (bad)
            malformed = true;
    }

    std::string text(const std::string &s, const char *key, const char *def = "")
    {
        return inifile_read_string(ini_, s.c_str(), key, def);
    }

    bool has(const std::string &s, const char *key) { return inifile_has_key(ini_, s.c_str(), key) != 0; }

    long number(const std::string &s, const char *key, long def, long lo, long hi)
    {
        if (!has(s, key))
            return def;
        long v = 0;
        std::string t = text(s, key);
        if (!parse_long(t, v) || v < lo || v > hi) {
            problem(s, key, std::string("\"") + key + "\" must be a whole number from " + std::to_string(lo) +
                                " to " + std::to_string(hi) + ", not \"" + t + "\"");
            return def;
        }
        return v;
    }

    double real(const std::string &s, const char *key, double def)
    {
        if (!has(s, key))
            return def;
        double v = 0;
        std::string t = text(s, key);
        if (!parse_double(t, v)) {
            problem(s, key, std::string("\"") + key + "\" must be a number, not \"" + t + "\"");
            return def;
        }
        return v;
    }

    void plexord(const std::string &s) { c_.local_challenge = number(s, "local_challenge", 0, 0, 1) != 0; }

    void server(const std::string &s)
    {
        std::string address = trim(text(s, "address", "127.0.0.1"));
        int port = static_cast<int>(number(s, "port", 7878, 0, 65535));
        std::lock_guard lk(c_.listen_m);
        c_.listen_address = address;
        c_.listen_port = port;
    }

    void mqtt(const std::string &s)
    {
        mqtt::Settings &m = c_.mqtt;
        m.host = trim(text(s, "host"));
        m.port = static_cast<int>(number(s, "port", 1883, 1, 65535));
        m.client_id = text(s, "client_id", "plexord");
        m.user = text(s, "user");
        m.tls = number(s, "tls", 0, 0, 1) != 0;
        m.ca_file = text(s, "ca_file");
        m.qos = static_cast<int>(number(s, "qos", 1, 0, 1));
        m.queue_limit = number(s, "queue", 10000, 1, 10000000);
        m.write_user = text(s, "write_user");
        std::string prefix = text(s, "prefix", "plexord");
        if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos || prefix.back() == '/' ||
            prefix.front() == '/') {
            problem(s, "prefix", "topic prefix \"" + prefix + "\" is not usable (empty, '+', '#', or '/' at an end); " +
                                     "nothing is published");
            c_.mqtt_usable = false; // nothing goes out under a prefix that is not meant
        }
        m.prefix = prefix;
        c_.mqtt_section = true;
        std::string sealed = text(s, "password"), why;
        if (!sealed.empty() && !secrets::is_sealed(sealed)) {
            // Written there by an editor: used, and kept encrypted from the next save on.
            m.password = sealed;
            problem(s, "password", "the broker's password was not encrypted; it is encrypted now", false);
            touch_after = true;
        } else if (!sealed.empty() && !secrets::unseal(c_.config_dir, sealed, m.password, why)) {
            m.password.clear();
            c_.mqtt_password_sealed = sealed; // saved as it was until it is set again
            problem(s, "password", "\"password\" not restored (" + why + "): left empty, set it again");
        }
    }

    void network(const std::string &s, uint16_t id)
    {
        std::string type = text(s, "type");
        const NetworkType *t = c_.plugins.find(type);
        if (!t) {
            // Kept in the file as it is, so that a missing plug-in does not
            // cost the operator the network's settings.
            problem(s, "type", "network type \"" + type + "\" is not available; network " + std::to_string(id) +
                                   " is kept in the file but not loaded", type.empty());
            if (!type.empty() && c_.networks.reserve_id(id)) {
                if (!c_.preserved)
                    c_.preserved = new_ini();
                inifile_copy_section(ini_, s.c_str(), c_.preserved.get());
            }
            return;
        }
        network_t *h = c_.networks.create(t, id);
        if (!h) {
            problem(s, {}, "network " + std::to_string(id) + " is defined twice or cannot be created");
            return;
        }
        h->net->set_name(has(s, "name") ? text(s, "name") : h->net->name());
        int n = inifile_get_key_count(ini_, s.c_str());
        for (int i = 0; i < n; ++i) {
            std::string key = inifile_get_key_by_index(ini_, s.c_str(), i);
            if (key == "type" || key == "name")
                continue;
            if (key.rfind("p.", 0) != 0) {
                problem(s, key, "unknown key \"" + key + "\"");
                continue;
            }
            std::string param = key.substr(2);
            int kind = h->net->param_kind(param);
            ncerr_t r = ok();
            if (kind == 0) {
                problem(s, key, "network type \"" + type + "\" has no parameter \"" + param + "\"");
                continue;
            }
            if (kind == NETWORK_PARAM_TEXT) {
                std::string v = text(s, key.c_str());
                std::string why;
                if (secrets::is_secret(h->net->type()->ops, param) && !secrets::unseal(c_.config_dir, v, v, why))
                    // Left empty; the file is kept as it is at the next save.
                    problem(s, key, "\"" + param + "\" not restored (" + why + "): left empty, set it again");
                r = h->net->set_text(param, v);
            } else {
                long v = number(s, key.c_str(), 0, INT_MIN, INT_MAX);
                r = h->net->set_int(param, static_cast<int>(v));
            }
            if (!is_ok(r))
                problem(s, key, "value of \"" + param + "\" refused: " + ncerr_get_string(r));
        }
        c_.networks.add(h);
    }

    void device(const std::string &s, uint16_t id)
    {
        long net = number(s, "network", -1, 1, 65535);
        if (net < 0) {
            problem(s, "network", "device " + std::to_string(id) + " has no valid network id");
            return;
        }
        plexord_dev *d = c_.devices.create(static_cast<uint16_t>(net), id);
        if (!d) {
            problem(s, {}, "device " + std::to_string(id) + " is defined twice");
            return;
        }
        set_cstr(d->name, text(s, "name", d->name).c_str());
        if (has(s, "description"))
            device_set_description(d, text(s, "description").c_str());
        if (has(s, "address"))
            set_cstr(d->address, text(s, "address").c_str(), true);
        std::string hw = text(s, "hardware");
        if (!hw.empty()) {
            d->hardware = c_.hardware.find(hw);
            if (!d->hardware) {
                d->hw_missing = hw;
                problem(s, "hardware", "hardware type \"" + hw + "\" is not installed", false);
            }
        }
        std::string doc = text(s, "doc");
        if (!doc.empty() && !is_ok(device_load_documentation(d, doc.c_str())))
            problem(s, "doc", "cannot read documentation \"" + doc + "\"", false);
        d->cache_enforced = number(s, "cache", 0, 0, 1) != 0;
        d->max_age = number(s, "cache_age", 0, 0, 1000000000);
        d->scan_interval_ms = number(s, "scan_interval", 0, 0, 86400000);
        d->scan_keepalive = static_cast<unsigned>(number(s, "scan_keepalive", 0, 0, 1000000));
        if (has(s, "scan")) {
            d->scan_text = text(s, "scan");
            std::vector<std::string> bad;
            d->scan = parse_scan_list(d->scan_text, bad);
            // The good entries are scanned; the text is saved as it was, so
            // the operator can mend the others.
            for (const std::string &why : bad)
                problem(s, "scan", "device " + std::to_string(id) + ": " + why + "; it is not scanned", false);
            if (!d->scan.empty() && d->scan_interval_ms == 0)
                problem(s, "scan",
                        "device " + std::to_string(id) + " has a scan list but no scan_interval; it is not scanned",
                        false);
        }
        c_.devices.add(d);
    }

    void user(const std::string &s, uint16_t id)
    {
        user_t *u = c_.users.create(id);
        if (!u) {
            problem(s, {}, "user " + std::to_string(id) + " is defined twice");
            return;
        }
        u->name = text(s, "name");
        u->password = text(s, "password");
        if (!u->password.empty() && !is_password_hash(u->password)) {
            // Never keep a clear password: hash what an editor wrote there.
            problem(s, "password", "password of user \"" + u->name + "\" was not hashed; it is hashed now", false);
            u->password = hash_password(u->password, c_.flags & PLEXORD_INIT_FAST_HASH);
            touch_after = true;
        }
        u->read = text(s, "read");
        u->write = text(s, "write");
        c_.users.add(u);
    }

    void task(const std::string &s, int id)
    {
        long type = number(s, "type", -1, 0, 2);
        if (type < 0) {
            problem(s, "type", "task " + std::to_string(id) + " has no valid type (0, 1 or 2)");
            return;
        }
        plexord_task *t = c_.sched.create(static_cast<int>(type), id);
        if (!t) {
            problem(s, {}, "task " + std::to_string(id) + " is defined twice");
            return;
        }
        auto str = [&](char *&field, const char *key) {
            if (has(s, key))
                set_cstr(field, text(s, key).c_str(), true);
        };
        auto dev = [&](const char *key) { return static_cast<uint16_t>(number(s, key, 0, 0, 65535)); };
        str(t->name, "name");
        t->first = number(s, "first", t->first, LONG_MIN, LONG_MAX);
        t->interval = number(s, "interval", 60, 0, LONG_MAX);
        t->source_device_id = dev("source_device");
        str(t->source_item, "source_item");
        str(t->source_flag, "source_flag");
        t->target_device_id = dev("target_device");
        str(t->target_item, "target_item");
        str(t->target_flag, "target_flag");
        t->fixed_value = real(s, "value", 0);
        sched_condition_t &k = t->condition;
        auto operand = [&](sched_operand_t &o, const std::string &p) {
            o.is_fixed = number(s, (p + "_fixed").c_str(), o.is_fixed, 0, 1) != 0;
            o.device_id = dev((p + "_device").c_str());
            str(o.item, (p + "_item").c_str());
            str(o.flag, (p + "_flag").c_str());
            o.value = real(s, (p + "_value").c_str(), 0);
        };
        auto target = [&](sched_target_t &g, const std::string &p) {
            g.device_id = dev((p + "_device").c_str());
            str(g.item, (p + "_item").c_str());
            str(g.flag, (p + "_flag").c_str());
        };
        operand(k.left, "left");
        operand(k.right, "right");
        k.op = static_cast<int>(number(s, "op", SCHED_OP_EQ, SCHED_OP_EQ, SCHED_OP_NE));
        target(k.then_target, "then");
        k.then_value = real(s, "then_value", 0);
        k.do_nothing_else = number(s, "else_nothing", 0, 0, 1) != 0;
        target(k.else_target, "else");
        k.else_value = real(s, "else_value", 0);
        scheduler_add_task(&c_.sched, t, 0);
    }

    bool touch_after = false;

private:
    Core &c_;
    inifile_t *ini_;
    const LineIndex &lines_;
};

// "network.3" -> 3 when the prefix matches and the number is in range.
bool section_id(const std::string &s, const std::string &prefix, long hi, long &id)
{
    if (lower(s.substr(0, prefix.size())) != prefix)
        return false;
    return parse_long(s.substr(prefix.size()), id) && id >= 1 && id <= hi;
}

void write_default_setpoints(const std::string &path)
{
    // Enough for the demo's tasks when the data folder has no demo plant.
    std::ofstream f(path);
    f << "[boiler]\nSP1=65\nPV=63.5\nOUT=25\nMODE=1\n\n"
         "[greenhouse]\nSP1=21\nPV=20.4\nOUT=40\nMOUT=25\nMODE=2\n\n"
         "[pumps]\nV2000=180\nV2005=1\nV2024=2\nV3000=176\n\n"
         "[pressure]\nPV:F=4.82\nURV:F=10\nLRV:F=0\nUNIT:W=0\n";
}

void build_demo(Core &c)
{
    const NetworkType *db = c.plugins.find("db");
    if (!db) {
        log_line(" ! No configuration and no \"db\" plug-in for the demo plant; starting empty");
        return;
    }
    std::error_code ec;
    fs::path setpoints = fs::path(c.config_dir) / "demo-setpoints.ini";
    if (!fs::exists(setpoints, ec)) {
        fs::path src = fs::path(c.data_dir) / "demo" / "demo-setpoints.ini";
        if (c.data_dir.empty() || !fs::copy_file(src, setpoints, ec))
            write_default_setpoints(setpoints.string());
    }

    network_t *net = c.networks.create(db);
    if (!net)
        return;
    net->net->set_name("Demo plant");
    net->net->set_text("filename", "demo-setpoints.ini");
    net->net->set_int("delay", 20);
    c.networks.add(net);
    uint16_t nid = net->net->id();

    struct Dev {
        const char *name, *description, *address, *hardware, *scan;
    };
    // Scanned, so that a broker added to the configuration shows the plant at once.
    const Dev devs[] = {
        {"Boiler", "Boiler house", "boiler", "TC-200 Temperature controller", "SP1, PV, OUT"},
        {"Greenhouse", "Greenhouse climate", "greenhouse", "TC-200 Temperature controller", "SP1, PV, MOUT"},
        {"Pump station", "Irrigation pumps", "pumps", "MC-16 Compact PLC", "V2000, V3000"},
        {"Main line", "Main line pressure", "pressure", "PX-40 Pressure transmitter", "PV:F / 0.01"},
    };
    std::vector<uint16_t> ids;
    for (const Dev &d : devs) {
        plexord_dev *r = c.devices.create(nid);
        if (!r)
            return;
        set_cstr(r->name, d.name);
        set_cstr(r->description, d.description, true);
        set_cstr(r->address, d.address, true);
        r->hardware = c.hardware.find(d.hardware);
        std::vector<std::string> bad;
        r->scan_text = d.scan;
        r->scan = parse_scan_list(r->scan_text, bad);
        r->scan_interval_ms = 2000;
        r->scan_keepalive = 30;
        c.devices.add(r);
        ids.push_back(r->id);
    }

    ux_datetime_t now = dt_now();
    // The boiler's output swings between two values every 2 s...
    if (plexord_task *t = c.sched.create(SCHED_TASK_CONDITION)) {
        set_cstr(t->name, "Boiler output cycle", true);
        t->first = now;
        t->interval = 2;
        sched_condition_t &k = t->condition;
        k.left.is_fixed = 0;
        k.left.device_id = ids[0];
        set_cstr(k.left.item, "OUT", true);
        k.op = SCHED_OP_LT;
        k.right.is_fixed = 1;
        k.right.value = 50;
        k.then_target.device_id = ids[0];
        set_cstr(k.then_target.item, "OUT", true);
        k.then_value = 75;
        k.else_target.device_id = ids[0];
        set_cstr(k.else_target.item, "OUT", true);
        k.else_value = 25;
        scheduler_add_task(&c.sched, t, 0);
    }
    // ...and the greenhouse follows it every 3 s.
    if (plexord_task *t = c.sched.create(SCHED_TASK_COPY)) {
        set_cstr(t->name, "Greenhouse follows boiler", true);
        t->first = now;
        t->interval = 3;
        t->source_device_id = ids[0];
        set_cstr(t->source_item, "OUT", true);
        t->target_device_id = ids[1];
        set_cstr(t->target_item, "MOUT", true);
        scheduler_add_task(&c.sched, t, 0);
    }

    if (user_t *u = c.users.create()) {
        u->name = "operator";
        u->read = "*";
        u->write = "Boiler,Greenhouse";
        c.users.add(u);
    }
    log_line(" * No configuration in " + c.config_dir + ": started the demo plant");
}

} // namespace

ncerr_t load_config(Core &c)
{
    std::error_code ec;
    if (!fs::exists(c.config_path, ec)) {
        if (c.flags & PLEXORD_INIT_NO_DEMO)
            log_line(" * No configuration in " + c.config_dir + ": starting empty");
        else
            build_demo(c);
        c.keep_file = false;
        c.dirty = true; // written at the first save
        return ok();
    }

    std::string text;
    {
        std::ifstream f(c.config_path, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        text = ss.str();
    }
    IniPtr ini = new_ini();
    uxerror_t *err = nullptr;
    if (inifile_open(ini.get(), c.config_path.c_str(), &err) != 0) {
        std::string where = err ? uxerror_region(err) : c.config_path;
        std::string what = err ? uxerror_message(err) : "cannot be read";
        uxerror_free(err);
        log_line(" ! " + where + ": " + what + "; the configuration was not loaded");
        c.keep_file = true;
        c.dirty = false;
        return fail(NCERR_IO);
    }

    LineIndex lines(text);
    Loader l(c, ini.get(), lines);
    int n = inifile_get_section_count(ini.get());
    std::vector<std::string> sections;
    for (int i = 0; i < n; ++i)
        sections.push_back(inifile_get_section_by_index(ini.get(), i));

    // Networks before devices, devices before tasks: later ones refer to them.
    for (int pass = 0; pass < 4; ++pass) {
        for (const std::string &s : sections) {
            long id = 0;
            std::string low = lower(s);
            if (pass == 0) {
                if (low == "plexord")
                    l.plexord(s);
                else if (low == "server")
                    l.server(s);
                else if (low == "mqtt")
                    l.mqtt(s);
                else if (section_id(s, "network.", 65535, id))
                    l.network(s, static_cast<uint16_t>(id));
                else if (low.empty()) {
                    if (inifile_get_key_count(ini.get(), "") > 0)
                        l.problem(s, inifile_get_key_by_index(ini.get(), "", 0), "key outside any section");
                } else if (!section_id(s, "device.", 65535, id) && !section_id(s, "user.", 65535, id) &&
                           !section_id(s, "task.", INT_MAX, id))
                    l.problem(s, {}, "unknown section [" + s + "]");
            } else if (pass == 1 && section_id(s, "device.", 65535, id)) {
                l.device(s, static_cast<uint16_t>(id));
            } else if (pass == 2 && section_id(s, "user.", 65535, id)) {
                l.user(s, static_cast<uint16_t>(id));
            } else if (pass == 3 && section_id(s, "task.", INT_MAX, id)) {
                l.task(s, static_cast<int>(id));
            }
        }
    }
    c.keep_file = l.malformed;
    c.dirty = l.touch_after;
    if (l.malformed)
        log_line(" ! " + c.config_path + " has errors; it is kept as it is until the configuration is changed");
    else
        log_line(" * Configuration loaded from " + c.config_path);
    return l.malformed ? fail(NCERR_INVALID) : ok();
}

ncerr_t save_config(Core &c)
{
    if (c.keep_file && !c.dirty) {
        log_line(" * " + c.config_path + " not saved: it has errors and nothing was changed");
        return ok();
    }
    IniPtr ini = new_ini();
    inifile_t *h = ini.get();
    inifile_write_long(h, "plexord", "version", 1);
    inifile_write_long(h, "plexord", "local_challenge", c.local_challenge ? 1 : 0);
    {
        std::lock_guard lk(c.listen_m);
        inifile_write_string(h, "server", "address", c.listen_address.c_str());
        inifile_write_long(h, "server", "port", c.listen_port);
    }

    if (c.mqtt_section) {
        const mqtt::Settings &m = c.mqtt;
        std::string password = c.mqtt_password_sealed, why;
        if (password.empty() && !m.password.empty() && !secrets::seal(c.config_dir, m.password, password, why)) {
            log_line(" ! Cannot save the configuration to " + c.config_path +
                     ": the broker's password cannot be encrypted (" + why + ")");
            return fail(NCERR_IO);
        }
        inifile_write_string(h, "mqtt", "host", m.host.c_str());
        inifile_write_long(h, "mqtt", "port", m.port);
        inifile_write_string(h, "mqtt", "client_id", m.client_id.c_str());
        inifile_write_string(h, "mqtt", "user", m.user.c_str());
        inifile_write_string(h, "mqtt", "password", password.c_str());
        inifile_write_long(h, "mqtt", "tls", m.tls ? 1 : 0);
        inifile_write_string(h, "mqtt", "ca_file", m.ca_file.c_str());
        inifile_write_string(h, "mqtt", "prefix", m.prefix.c_str());
        inifile_write_long(h, "mqtt", "qos", m.qos);
        inifile_write_long(h, "mqtt", "queue", m.queue_limit);
        inifile_write_string(h, "mqtt", "write_user", m.write_user.c_str());
    }
    for (uint16_t id : c.networks.ids()) {
        auto net = c.networks.get(id);
        if (!net)
            continue;
        std::string s = "network." + std::to_string(id);
        inifile_write_string(h, s.c_str(), "type", net->type()->key.c_str());
        inifile_write_string(h, s.c_str(), "name", net->name().c_str());
        for (const std::string &key : net->param_keys()) {
            Param p;
            if (key == "name" || !net->get_param(key, p))
                continue;
            std::string k = "p." + key;
            std::string why;
            if (p.kind == NETWORK_PARAM_TEXT && secrets::is_secret(net->type()->ops, key) &&
                !secrets::seal(c.config_dir, p.text, p.text, why)) {
                // Never in clear; the file saved before stays as it is.
                log_line(" ! Cannot save the configuration to " + c.config_path + ": \"" + key + "\" of network " +
                         std::to_string(id) + " cannot be encrypted (" + why + ")");
                return fail(NCERR_IO);
            }
            if (p.kind == NETWORK_PARAM_TEXT)
                inifile_write_string(h, s.c_str(), k.c_str(), p.text.c_str());
            else
                inifile_write_long(h, s.c_str(), k.c_str(), p.value);
        }
    }
    for (uint16_t id : c.devices.ids()) {
        plexord_dev *d = c.devices.get(id);
        if (!d)
            continue;
        std::string s = "device." + std::to_string(id);
        const char *sec = s.c_str();
        std::lock_guard lk(d->data);
        inifile_write_long(h, sec, "network", d->network_id);
        inifile_write_string(h, sec, "name", nz(d->name));
        if (d->description)
            inifile_write_string(h, sec, "description", d->description);
        if (d->address)
            inifile_write_string(h, sec, "address", d->address);
        std::string hw = d->hardware ? d->hardware->name : d->hw_missing;
        if (!hw.empty())
            inifile_write_string(h, sec, "hardware", hw.c_str());
        if (d->doc_path)
            inifile_write_string(h, sec, "doc", d->doc_path);
        inifile_write_long(h, sec, "cache", d->cache_enforced ? 1 : 0);
        inifile_write_long(h, sec, "cache_age", static_cast<long>(d->max_age));
        if (!d->scan_text.empty() || d->scan_interval_ms > 0) {
            inifile_write_string(h, sec, "scan", d->scan_text.c_str());
            inifile_write_long(h, sec, "scan_interval", d->scan_interval_ms);
            inifile_write_long(h, sec, "scan_keepalive", static_cast<long>(d->scan_keepalive));
        }
    }
    for (uint16_t id : c.users.ids()) {
        user_t *u = c.users.get(id);
        if (!u)
            continue;
        std::string s = "user." + std::to_string(id);
        std::lock_guard lk(u->data);
        inifile_write_string(h, s.c_str(), "name", u->name.c_str());
        inifile_write_string(h, s.c_str(), "password", u->password.c_str());
        inifile_write_string(h, s.c_str(), "read", u->read.c_str());
        inifile_write_string(h, s.c_str(), "write", u->write.c_str());
    }
    std::vector<plexord_task *> tasks;
    {
        std::lock_guard lk(c.sched.m);
        for (auto &[id, t] : c.sched.active)
            tasks.push_back(t);
    }
    for (plexord_task *t : tasks) {
        // A task held by another thread for editing is saved as it stands.
        bool locked = t->lock.lock_shared_for(kFetchWaitMs);
        std::string s = "task." + std::to_string(t->id);
        const char *sec = s.c_str();
        auto str = [&](const char *key, const char *v) {
            if (v)
                inifile_write_string(h, sec, key, v);
        };
        auto real = [&](const char *key, double v) { inifile_write_float(h, sec, key, v); };
        str("name", t->name);
        inifile_write_long(h, sec, "type", t->type);
        inifile_write_long(h, sec, "first", static_cast<long>(t->first));
        inifile_write_long(h, sec, "interval", t->interval);
        inifile_write_long(h, sec, "source_device", t->source_device_id);
        str("source_item", t->source_item);
        str("source_flag", t->source_flag);
        inifile_write_long(h, sec, "target_device", t->target_device_id);
        str("target_item", t->target_item);
        str("target_flag", t->target_flag);
        real("value", t->fixed_value);
        const sched_condition_t &k = t->condition;
        auto operand = [&](const sched_operand_t &o, const std::string &p) {
            inifile_write_long(h, sec, (p + "_fixed").c_str(), o.is_fixed ? 1 : 0);
            inifile_write_long(h, sec, (p + "_device").c_str(), o.device_id);
            str((p + "_item").c_str(), o.item);
            str((p + "_flag").c_str(), o.flag);
            real((p + "_value").c_str(), o.value);
        };
        auto target = [&](const sched_target_t &g, const std::string &p) {
            inifile_write_long(h, sec, (p + "_device").c_str(), g.device_id);
            str((p + "_item").c_str(), g.item);
            str((p + "_flag").c_str(), g.flag);
        };
        operand(k.left, "left");
        inifile_write_long(h, sec, "op", k.op);
        operand(k.right, "right");
        target(k.then_target, "then");
        real("then_value", k.then_value);
        inifile_write_long(h, sec, "else_nothing", k.do_nothing_else ? 1 : 0);
        target(k.else_target, "else");
        real("else_value", k.else_value);
        if (locked)
            t->lock.release();
    }
    if (c.preserved) {
        int n = inifile_get_section_count(c.preserved.get());
        for (int i = 0; i < n; ++i) {
            const char *s = inifile_get_section_by_index(c.preserved.get(), i);
            long id = 0;
            // Dropped once the operator made a new network with the same id.
            if (s && *s && !(section_id(s, "network.", 65535, id) && c.networks.get(static_cast<uint16_t>(id))))
                inifile_copy_section(c.preserved.get(), s, h);
        }
    }

    if (c.keep_file) {
        // The operator changed a configuration loaded from a file with
        // errors: what could not be read survives beside the new file, or
        // the file is not replaced at all.
        std::error_code ec;
        std::string bak = c.config_path + ".bak";
        bool gone = !fs::exists(c.config_path, ec) && !ec; // nothing left to keep
        uxerror_t *err = nullptr;
        if (!gone && ux_file_copy_atomic(c.config_path.c_str(), bak.c_str(), kSecretMode, &err) != 0) {
            std::string where = err ? uxerror_region(err) : bak;
            std::string what = err ? uxerror_message(err) : "copy failed";
            uxerror_free(err);
            log_line(" ! " + c.config_path + " not saved: it has errors and cannot be kept as " + bak + " (" +
                     where + ": " + what + ")");
            return fail(NCERR_IO);
        }
        if (!gone)
            log_line(" * The configuration with errors was kept as " + bak);
    }
    uxerror_t *err = nullptr;
    if (inifile_save_mode(h, c.config_path.c_str(), kSecretMode, &err) != 0) {
        std::string what = err ? uxerror_message(err) : "write failed";
        uxerror_free(err);
        log_line(" ! Cannot save the configuration to " + c.config_path + ": " + what);
        return fail(NCERR_IO);
    }
    c.dirty = false;
    c.keep_file = false;
    log_line(" * Configuration saved to " + c.config_path);
    return ok();
}

} // namespace plexord
