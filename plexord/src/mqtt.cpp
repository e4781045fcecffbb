// The publisher's thread and its libmosquitto connection.
#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core.h"
#include "mqtt.h"

namespace plexord::mqtt {

namespace {

constexpr int kKeepAliveS = 10;
constexpr int kRetryMs = 1000; // between connection attempts
constexpr int kLoopMs = 100;   // how long a publication may wait in the queue when all is well
constexpr size_t kSetsWaiting = 1000;

class MosquittoLink : public Link {
public:
    MosquittoLink(const Settings &s, Events &ev) : s_(s), ev_(ev)
    {
        static std::once_flag once;
        std::call_once(once, [] { mosquitto_lib_init(); });
        m_ = mosquitto_new(s.client_id.empty() ? nullptr : s.client_id.c_str(), true, this);
        if (!m_)
            return;
        mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m_, [](mosquitto *, void *self, int rc) {
            auto *l = static_cast<MosquittoLink *>(self);
            if (rc == 0)
                l->ev_.connected();
            else
                l->ev_.lost(mosquitto_connack_string(rc));
        });
        mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
            auto *l = static_cast<MosquittoLink *>(self);
            std::string payload(static_cast<const char *>(msg->payload), msg->payload ? msg->payloadlen : 0);
            l->ev_.message(msg->topic ? msg->topic : "", payload);
        });
        if (!s.user.empty())
            mosquitto_username_pw_set(m_, s.user.c_str(), s.password.empty() ? nullptr : s.password.c_str());
        std::string status = status_topic(s.prefix);
        mosquitto_will_set(m_, status.c_str(), 7, "offline", s.qos, true);
        if (s.tls)
            tls_rc_ = mosquitto_tls_set(m_, s.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    ~MosquittoLink() override
    {
        if (m_)
            mosquitto_destroy(m_);
    }

    bool connect(std::string &why) override
    {
        if (!m_) {
            why = "out of memory";
            return false;
        }
        if (tls_rc_ != MOSQ_ERR_SUCCESS) {
            why = std::string("TLS: ") + mosquitto_strerror(tls_rc_);
            return false;
        }
        // Without waiting on TCP: a broker host that drops packets must not
        // hold the core's stop. The loop finishes the connection; the
        // library's keep-alive gives up on one that never answers.
        int rc = mosquitto_connect_async(m_, s_.host.c_str(), s_.port, kKeepAliveS);
        if (rc == MOSQ_ERR_ERRNO)
            why = std::strerror(errno);
        else if (rc != MOSQ_ERR_SUCCESS)
            why = mosquitto_strerror(rc);
        return rc == MOSQ_ERR_SUCCESS;
    }
    bool loop(int ms) override { return mosquitto_loop(m_, ms, 1) == MOSQ_ERR_SUCCESS; }
    bool publish(const Message &msg, int qos) override
    {
        return mosquitto_publish(m_, nullptr, msg.topic.c_str(), static_cast<int>(msg.payload.size()),
                                 msg.payload.data(), qos, msg.retain) == MOSQ_ERR_SUCCESS;
    }
    bool subscribe(const std::string &pattern, int qos) override
    {
        return mosquitto_subscribe(m_, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS;
    }
    void disconnect() override
    {
        mosquitto_disconnect(m_);
        // Lets the DISCONNECT (and what was published just before) go out.
        for (int i = 0; i < 5 && mosquitto_loop(m_, 20, 1) == MOSQ_ERR_SUCCESS; ++i)
            ;
    }

private:
    const Settings &s_;
    Events &ev_;
    mosquitto *m_ = nullptr;
    int tls_rc_ = MOSQ_ERR_SUCCESS;
};

} // namespace

std::unique_ptr<Link> mosquitto_link(const Settings &s, Link::Events &events)
{
    return std::make_unique<MosquittoLink>(s, events);
}

Publisher::Publisher(Settings s, Writer *writer, LinkMaker make)
    : s_(std::move(s)), writer_(writer), make_(make), queue_(static_cast<size_t>(s_.queue_limit))
{
}

Publisher::~Publisher()
{
    stop();
}

void Publisher::start()
{
    std::lock_guard lk(m_);
    if (th_.joinable())
        return;
    stopping_ = false;
    th_ = std::thread([this] { run(); });
    if (writer_)
        wth_ = std::thread([this] { writes(); });
}

void Publisher::stop()
{
    {
        std::lock_guard lk(m_);
        if (!th_.joinable())
            return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (wth_.joinable())
        wth_.join();
    th_.join();
}

void Publisher::publish(const ScanSample &s)
{
    std::string status = is_ok(s.result) ? "OK" : ncerr_get_string(s.result);
    enqueue({value_topic(s_.prefix, s), payload(s, status), true});
}

void Publisher::enqueue(Message m)
{
    std::lock_guard lk(m_);
    if (!queue_.push(std::move(m)) && dropped_logged_ == 0) {
        dropped_logged_ = queue_.dropped();
        log_line(" ! MQTT: the publication queue is full (" + std::to_string(s_.queue_limit) +
                 "); the oldest publications are dropped until the broker takes them again");
    }
}

void Publisher::connected()
{
    if (!up_ && on_link_)
        on_link_(true);
    up_ = true;
    outage_logged_ = false;
    log_line(" * MQTT: connected to " + s_.host + ":" + std::to_string(s_.port));
    link_->publish({status_topic(s_.prefix), "online", true}, s_.qos);
    if (writer_)
        link_->subscribe(s_.prefix + "/+/+/+/set", s_.qos);
}

void Publisher::lost(const std::string &why)
{
    if (!outage_logged_)
        log_line(" ! MQTT: no connection to " + s_.host + ":" + std::to_string(s_.port) + " (" + why +
                 "); publications wait in the queue");
    outage_logged_ = true;
    if (up_ && on_link_)
        on_link_(false);
    up_ = false;
}

void Publisher::message(const std::string &topic, const std::string &payload)
{
    // Our own results come back on .../set/result, which the pattern does not match.
    auto req = parse_set_topic(s_.prefix, topic);
    if (!req)
        return;
    {
        std::lock_guard lk(m_);
        if (sets_.size() >= kSetsWaiting) {
            log_line(" ! MQTT: write to " + topic + " refused: " + std::to_string(kSetsWaiting) +
                     " writes are waiting already");
            return;
        }
        sets_.emplace_back(std::move(*req), payload);
    }
    cv_.notify_all();
}

// Writes wait for their network on a thread of their own, so that
// publications and the broker connection go on meanwhile.
void Publisher::writes()
{
    std::unique_lock lk(m_);
    while (true) {
        cv_.wait(lk, [&] { return stopping_ || !sets_.empty(); });
        if (stopping_)
            return;
        auto [req, text] = std::move(sets_.front());
        sets_.pop_front();
        lk.unlock();
        std::string topic = s_.prefix + "/" + req.network + "/" + req.device + "/" + req.setpoint;
        auto value = parse_set_value(text);
        std::string status = "refused: the payload is not a number";
        bool written = value && writer_ && writer_->write(req, *value, status);
        if (!value)
            log_line(" ! MQTT: write to " + topic + " refused: \"" + text.substr(0, 40) + "\" is not a number");
        auto now = std::chrono::system_clock::now();
        enqueue({topic + "/set/result", payload(written ? value : std::nullopt, status, now), false});
        lk.lock();
    }
}

void Publisher::run()
{
    link_ = make_(s_, *this);
    auto next_try = std::chrono::steady_clock::now();
    // A TCP connection exists; its CONNACK may still be due (the library
    // gives up on a silent broker after the keep-alive).
    bool linked = false;
    std::unique_lock lk(m_);
    while (!stopping_) {
        lk.unlock();
        auto now = std::chrono::steady_clock::now();
        if (!linked && now >= next_try) {
            std::string why;
            linked = link_->connect(why);
            if (!linked)
                lost(why);
            next_try = now + std::chrono::milliseconds(kRetryMs);
        }
        if (linked && !link_->loop(kLoopMs)) {
            linked = false;
            if (up_ || !outage_logged_)
                lost("connection lost");
        }
        lk.lock();
        if (up_ && linked) {
            while (!queue_.empty()) {
                Message msg = std::move(queue_.front());
                queue_.pop();
                lk.unlock();
                bool sent = link_->publish(msg, s_.qos);
                lk.lock();
                if (!sent) {
                    queue_.requeue(std::move(msg));
                    break;
                }
            }
            if (dropped_logged_ != 0 && queue_.empty()) {
                log_line(" * MQTT: publications flow again; " + std::to_string(queue_.dropped() - dropped_before_) +
                         " were dropped while the queue was full");
                dropped_logged_ = 0;
                dropped_before_ = queue_.dropped();
            }
        }
        if (!linked)
            cv_.wait_for(lk, std::chrono::milliseconds(kLoopMs), [&] { return stopping_; });
    }
    lk.unlock();
    if (linked && up_) {
        link_->publish({status_topic(s_.prefix), "offline", true}, s_.qos);
        link_->disconnect();
    }
    if (up_ && on_link_)
        on_link_(false);
    up_ = false;
    link_.reset();
}

} // namespace plexord::mqtt
