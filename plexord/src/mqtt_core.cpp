// The broker's publisher inside the core: writes of set topics under a core
// user's write access, and its place in the core's start and stop.
#include <filesystem>

#include "core.h"

namespace plexord {

namespace {

class CoreWriter : public mqtt::Writer {
public:
    explicit CoreWriter(Core &c) : c_(c) {}

    bool write(const mqtt::SetRequest &r, double value, std::string &status) override
    {
        std::string where = c_.mqtt.prefix + "/" + r.network + "/" + r.device + "/" + r.setpoint;
        auto refuse = [&](const std::string &why) {
            status = "refused: " + why;
            log_line(" ! MQTT: write of " + format_double(value) + " to " + where + " refused: " + why);
            return false;
        };
        uint16_t device = 0;
        std::string device_name;
        for (uint16_t id : c_.devices.ids()) {
            DeviceInfo di;
            if (!c_.devices.info(id, di) || mqtt::topic_level(di.name) != r.device)
                continue;
            auto net = c_.networks.get(di.network_id);
            if (net && mqtt::topic_level(net->name()) == r.network) {
                device = id;
                device_name = di.name;
                break;
            }
        }
        if (!device)
            return refuse("no such device");
        user_t *user = nullptr;
        for (uint16_t id : c_.users.ids()) {
            user_t *u = c_.users.get(id);
            if (!u)
                continue;
            std::lock_guard lk(u->data);
            if (u->name == c_.mqtt.write_user) {
                user = u;
                break;
            }
        }
        if (!user)
            return refuse("user \"" + c_.mqtt.write_user + "\" does not exist");
        if (!user_may_write(user, device_name.c_str()))
            return refuse("user \"" + c_.mqtt.write_user + "\" has no write access to device \"" + device_name + "\"");
        size_t colon = r.setpoint.find(':');
        std::string item = r.setpoint.substr(0, colon);
        std::string flag = colon == std::string::npos ? std::string() : r.setpoint.substr(colon + 1);
        ncerr_t res = io_write(device, item, flag, c_.mqtt_client, value);
        if (!is_ok(res)) {
            status = ncerr_get_string(res);
            log_line(" ! MQTT: write of " + format_double(value) + " to " + where + " failed: " + status);
            return false;
        }
        status = "OK";
        return true;
    }

private:
    Core &c_;
};

} // namespace

void mqtt_start(Core &c)
{
    if (c.publisher || c.mqtt.host.empty() || !c.mqtt_usable)
        return;
    mqtt::Settings s = c.mqtt;
    if (!s.ca_file.empty() && std::filesystem::path(s.ca_file).is_relative())
        s.ca_file = (std::filesystem::path(c.config_dir) / s.ca_file).string();
    if (!c.mqtt_writer)
        c.mqtt_writer = std::make_unique<CoreWriter>(c);
    c.publisher = std::make_shared<mqtt::Publisher>(s, c.mqtt.write_user.empty() ? nullptr : c.mqtt_writer.get());
    // The connection shows in the console as a client while it is up.
    std::string text = "MQTT broker " + s.host + ":" + std::to_string(s.port);
    c.publisher->on_link([&c, text](bool up) {
        if (up) {
            uint32_t id = new_client_id();
            c.mqtt_client = id;
            post_client(NCEVENT_CLIENT_CONNECTED, id, text);
            post_client(NCEVENT_CLIENT_CHANGED, id, text);
        } else if (uint32_t id = c.mqtt_client.exchange(0)) {
            post_client(NCEVENT_CLIENT_DISCONNECTED, id, text);
        }
    });
    c.scanner.set_sink(c.publisher);
    c.publisher->start();
}

void mqtt_stop(Core &c)
{
    if (!c.publisher)
        return;
    c.scanner.set_sink(nullptr);
    c.publisher->stop();
    c.publisher.reset();
}

} // namespace plexord
