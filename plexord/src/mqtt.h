// Publishing the scanned values to an MQTT broker, and taking writes from it.
#ifndef PLEXORD_MQTT_H
#define PLEXORD_MQTT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scan.h"

namespace plexord::mqtt {

struct Settings {
    std::string host; // empty: no broker
    int port = 1883;
    std::string client_id = "plexord";
    std::string user, password;
    bool tls = false;
    std::string ca_file;
    std::string prefix = "plexord";
    int qos = 1;
    long queue_limit = 10000;
    std::string write_user; // the core user whose write access set topics get; empty: no writes
};

// ---- texts (no broker needed) ----

// A name as one topic level: the characters MQTT gives a meaning ('/', '+',
// '#') and control characters become '_'.
std::string topic_level(std::string_view name);
std::string setpoint_name(const std::string &item, const std::string &flag);
std::string value_topic(const std::string &prefix, const ScanSample &s);
std::string status_topic(const std::string &prefix);
std::string iso_time(std::chrono::system_clock::time_point t); // local time with its offset
// {"value":..,"status":"..","time":".."}; the value is null when there is none.
std::string payload(const ScanSample &s, const std::string &status);
std::string payload(std::optional<double> value, const std::string &status, std::chrono::system_clock::time_point t);

struct SetRequest {
    std::string network, device, setpoint; // topic levels as written
};
// The levels of "<prefix>/<network>/<device>/<setpoint>/set"; nothing for any other topic.
std::optional<SetRequest> parse_set_topic(std::string_view prefix, std::string_view topic);
// A set message's payload: one finite number, blanks around it allowed.
std::optional<double> parse_set_value(std::string_view payload);

struct Message {
    std::string topic, payload;
    bool retain = true;
};

// Publications waiting for the broker: the oldest go first when it is full.
class Queue {
public:
    explicit Queue(size_t limit) : limit_(limit ? limit : 1) {}
    // False when an older message had to be dropped for it.
    bool push(Message m);
    bool empty() const { return q_.empty(); }
    size_t size() const { return q_.size(); }
    Message &front() { return q_.front(); }
    void pop() { q_.pop_front(); }
    // Back to the front, after a failed hand-over; dropped if newer ones filled the room.
    void requeue(Message m);
    uint64_t dropped() const { return dropped_; }

private:
    size_t limit_;
    std::deque<Message> q_;
    uint64_t dropped_ = 0;
};

// ---- the broker ----

// What the publisher needs of a broker connection; the real one is
// libmosquitto's, tests may put in their own. Every call comes from the
// publisher's own thread.
class Link {
public:
    struct Events {
        virtual ~Events() = default;
        virtual void connected() = 0;
        virtual void lost(const std::string &why) = 0;
        virtual void message(const std::string &topic, const std::string &payload) = 0;
    };
    virtual ~Link() = default;
    // Starts a connection attempt; false, with the reason, when it fails at once.
    virtual bool connect(std::string &why) = 0;
    // Runs the connection for up to ms; false when it is lost.
    virtual bool loop(int ms) = 0;
    virtual bool publish(const Message &m, int qos) = 0;
    virtual bool subscribe(const std::string &pattern, int qos) = 0;
    virtual void disconnect() = 0;
};

std::unique_ptr<Link> mosquitto_link(const Settings &s, Link::Events &events);

// Writes of set topics, done by the core on the publisher's behalf.
class Writer {
public:
    virtual ~Writer() = default;
    // True when written; status is the text published on .../set/result.
    virtual bool write(const SetRequest &r, double value, std::string &status) = 0;
};

class Publisher : public ScanSink, private Link::Events {
public:
    using LinkMaker = std::unique_ptr<Link> (*)(const Settings &, Link::Events &);
    Publisher(Settings s, Writer *writer, LinkMaker make = mosquitto_link);
    ~Publisher() override;
    // Told on the publisher's thread when the broker connection comes up
    // (true) and when it goes (false), the stop included; set before start.
    void on_link(std::function<void(bool)> f) { on_link_ = std::move(f); }
    void start();
    void stop();
    void publish(const ScanSample &s) override;

private:
    void run();
    void writes();
    void connected() override;
    void lost(const std::string &why) override;
    void message(const std::string &topic, const std::string &payload) override;
    void enqueue(Message m);

    const Settings s_;
    Writer *writer_;
    LinkMaker make_;
    std::function<void(bool)> on_link_;
    std::unique_ptr<Link> link_;
    std::mutex m_;
    std::condition_variable cv_;
    Queue queue_;
    uint64_t dropped_logged_ = 0; // non-zero while a full queue is reported
    uint64_t dropped_before_ = 0; // dropped before that
    bool stopping_ = false;
    bool up_ = false;          // publisher thread only
    bool outage_logged_ = false; // publisher thread only
    std::deque<std::pair<SetRequest, std::string>> sets_; // topic levels and payload
    std::thread th_, wth_;
};

} // namespace plexord::mqtt

#endif
