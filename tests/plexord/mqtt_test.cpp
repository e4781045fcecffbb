// The broker publisher: its texts without a broker, then the core against a
// real Mosquitto broker on a free loopback port, with a libmosquitto client
// as the subscriber.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <algorithm>

#include "mqtt.h"
#include "support.h"
#include "../common/free_port.h"

using namespace test;
namespace mq = plexord::mqtt;

TEST(MqttText, TopicsPayloadsAndSetMessages)
{
    struct Level {
        const char *in, *out;
    } levels[] = {{"Boiler", "Boiler"}, {"a/b+c#d", "a_b_c_d"}, {"tab\there", "tab_here"}, {"", "_"}};
    for (const Level &l : levels)
        EXPECT_EQ(mq::topic_level(l.in), l.out);

    struct Topic {
        const char *topic;
        bool ok;
        const char *net, *dev, *sp;
    } topics[] = {
        {"plant/Demo/Boiler/SP1/set", true, "Demo", "Boiler", "SP1"},
        {"plant/Demo/Boiler/PV:F/set", true, "Demo", "Boiler", "PV:F"},
        {"plant/Demo/Boiler/SP1/set/result", false, "", "", ""},
        {"plant/Demo/Boiler/SP1", false, "", "", ""},
        {"plant/Demo//SP1/set", false, "", "", ""},
        {"plantx/Demo/Boiler/SP1/set", false, "", "", ""},
        {"other/Demo/Boiler/SP1/set", false, "", "", ""},
        {"plant/Demo/Boiler/SP1/get", false, "", "", ""},
        {"plant", false, "", "", ""},
    };
    for (const Topic &t : topics) {
        auto r = mq::parse_set_topic("plant", t.topic);
        ASSERT_EQ(r.has_value(), t.ok) << t.topic;
        if (r) {
            EXPECT_EQ(std::vector<std::string>({r->network, r->device, r->setpoint}),
                      std::vector<std::string>({t.net, t.dev, t.sp}));
        }
    }

    struct Value {
        const char *payload;
        bool ok;
        double v;
    } values[] = {{"70", true, 70},  {" -1.5e2 \n", true, -150}, {"", false, 0},   {"abc", false, 0},
                  {"1 2", false, 0}, {"nan", false, 0},          {"inf", false, 0}, {"1e999", false, 0}};
    for (const Value &v : values) {
        auto r = mq::parse_set_value(v.payload);
        ASSERT_EQ(r.has_value(), v.ok) << v.payload;
        if (r) {
            EXPECT_EQ(*r, v.v);
        }
    }

    // The time in the local zone, with its offset.
    const char *tz = getenv("TZ");
    std::string old = tz ? tz : "";
    setenv("TZ", "EST5", 1);
    tzset();
    auto epoch = std::chrono::system_clock::from_time_t(0) + std::chrono::milliseconds(1250);
    EXPECT_EQ(mq::iso_time(epoch), "1969-12-31T19:00:01.250-05:00");
    plexord::ScanSample s;
    s.when = epoch;
    s.value = 2.5;
    s.result = {NCERR_OK, 0};
    EXPECT_EQ(mq::payload(s, "OK"), R"({"value":2.5,"status":"OK","time":"1969-12-31T19:00:01.250-05:00"})");
    s.result = {NCERR_TIMEOUT, 0};
    EXPECT_EQ(mq::payload(s, "time-out \"x\"\n"),
              R"({"value":null,"status":"time-out \"x\"\u000a","time":"1969-12-31T19:00:01.250-05:00"})");
    if (tz)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    mq::Queue q(2);
    EXPECT_TRUE(q.push({"a", "1"}));
    EXPECT_TRUE(q.push({"b", "2"}));
    EXPECT_FALSE(q.push({"c", "3"}));
    EXPECT_EQ(q.dropped(), 1u);
    EXPECT_EQ(q.front().topic, "b");
    mq::Message m = q.front();
    q.pop();
    q.requeue(m);
    EXPECT_EQ(q.front().topic, "b");
    q.pop();
    q.push({"d", "4"});
    q.requeue({"b", "2"}); // newer ones filled the room
    EXPECT_EQ(q.dropped(), 2u);
    EXPECT_EQ(q.size(), 2u);
}

namespace {

bool port_open(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A Mosquitto broker of our own: a plain listener, and a TLS one when given
// a certificate.
class Broker {
public:
    Broker(const TempDir &dir, std::string tls = {}, std::string extra = {})
        : dir_(dir), tls_(std::move(tls)), extra_(std::move(extra)), port(free_loopback_port())
    {
        if (!tls_.empty())
            tls_port = free_loopback_port();
        start();
    }
    ~Broker() { stop(); }
    void start()
    {
        std::string conf = "listener " + std::to_string(port) + " 127.0.0.1\n" +
                           (extra_.empty() ? std::string("allow_anonymous true\n") : extra_);
        if (!tls_.empty())
            conf += "listener " + std::to_string(tls_port) + " 127.0.0.1\n" + tls_;
        if (geteuid() == 0)
            conf += "user root\n";
        write_file(dir_.file("broker.conf"), conf);
        pid_ = fork();
        if (pid_ == 0) {
            std::string c = dir_.file("broker.conf");
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", c.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !port_open(port); ++i)
            usleep(50000);
        ASSERT_TRUE(port_open(port)) << "the broker did not start";
    }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    const TempDir &dir_;
    std::string tls_, extra_;
    pid_t pid_ = -1;

public:
    int port;
    int tls_port = 0;
};

struct Msg {
    std::string topic, payload;
    bool retain;
};

// Subscribes to a pattern and keeps what arrives.
class Subscriber {
public:
    Subscriber(int port, const std::string &pattern) : pattern_(pattern)
    {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_, [](mosquitto *m, void *self, int) {
            mosquitto_subscribe(m, nullptr, static_cast<Subscriber *>(self)->pattern_.c_str(), 1);
        });
        mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard lk(s->mx_);
            s->got_.push_back({msg->topic, std::string(static_cast<const char *>(msg->payload), msg->payloadlen),
                               msg->retain});
            s->cv_.notify_all();
        });
        mosquitto_connect(m_, "127.0.0.1", port, 10);
        mosquitto_loop_start(m_);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, true);
        mosquitto_destroy(m_);
    }
    void send(const std::string &topic, const std::string &payload)
    {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }
    std::vector<Msg> on(const std::string &topic)
    {
        std::lock_guard lk(mx_);
        std::vector<Msg> v;
        for (const Msg &m : got_)
            if (m.topic == topic)
                v.push_back(m);
        return v;
    }
    // Waits for a message on topic whose payload has part.
    bool wait(const std::string &topic, const std::string &part, int ms = 8000)
    {
        std::unique_lock lk(mx_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            for (const Msg &m : got_)
                if (m.topic == topic && m.payload.find(part) != std::string::npos)
                    return true;
            return false;
        });
    }

private:
    std::string pattern_;
    mosquitto *m_;
    std::mutex mx_;
    std::condition_variable cv_;
    std::vector<Msg> got_;
};

std::string plant_config(int port, const std::string &extra_mqtt)
{
    return "[network.1]\ntype=db\nname=Demo\np.filename=sp.ini\np.delay=0\n"
           "[device.1]\nnetwork=1\nname=Boiler\naddress=boiler\nscan=SP1, PV, OUT\nscan_interval=100\n"
           "[device.2]\nnetwork=1\nname=Pumps\naddress=pumps\nscan=V1\nscan_interval=100\n"
           "[user.1]\nname=bridge\nread=*\nwrite=Boiler\n"
           "[mqtt]\nhost=127.0.0.1\nport=" +
           std::to_string(port) + "\nprefix=plant\nqos=1\nwrite_user=bridge\n" + extra_mqtt;
}

size_t reads_of(const std::string &item)
{
    size_t n = 0;
    for (const Event &e : Recorder::get().events())
        n += e.type == NCEVENT_READ_RESULT && e.item == item;
    return n;
}

bool wait_reads(const std::string &item, size_t n)
{
    return Recorder::get().wait(
        [&](const std::vector<Event> &ev) {
            size_t k = 0;
            for (const Event &e : ev)
                k += e.type == NCEVENT_READ_RESULT && e.item == item;
            return k >= n;
        },
        8000);
}

} // namespace

TEST(Mqtt, PublishesRetainedOnChangeAndTakesWritesUnderTheUsersAccess)
{
    TempDir dir;
    write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\nPV=63.5\nOUT=25\n[pumps]\nV1=180\n");
    Broker broker(dir);
    write_file(dir.file("plexord.ini"), plant_config(broker.port, ""));
    Subscriber sub(broker.port, "plant/#");
    Session session(dir.path());

    ASSERT_TRUE(sub.wait("plant/status", "online"));
    // The broker link is a client of the core: its scan reads and writes are
    // its own I/O, and it goes when the core stops.
    uint32_t link = 0;
    std::string link_text = "MQTT broker 127.0.0.1:" + std::to_string(broker.port);
    ASSERT_TRUE(Recorder::get().wait([&](const std::vector<Event> &ev) {
        for (const Event &e : ev)
            if (e.type == NCEVENT_CLIENT_CHANGED && e.message == link_text)
                link = e.client;
        return link != 0;
    }));
    ASSERT_TRUE(sub.wait("plant/Demo/Boiler/SP1", "\"value\":65,\"status\":\"OK\""));
    ASSERT_TRUE(wait_reads("SP1", reads_of("SP1") + 5));
    EXPECT_EQ(sub.on("plant/Demo/Boiler/SP1").size(), 1u) << "an unchanged value was published again";

    sub.send("plant/Demo/Boiler/SP1/set", "70");
    ASSERT_TRUE(sub.wait("plant/Demo/Boiler/SP1/set/result", "\"status\":\"OK\""));
    EXPECT_NE(sub.on("plant/Demo/Boiler/SP1/set/result")[0].payload.find("\"value\":70"), std::string::npos);
    double v = 0;
    EXPECT_TRUE(ok(read_float(1, "SP1", "", v)));
    EXPECT_EQ(v, 70);
    EXPECT_TRUE(sub.wait("plant/Demo/Boiler/SP1", "\"value\":70"));
    bool write_event = false;
    for (const Event &e : Recorder::get().events())
        write_event |= e.type == NCEVENT_WRITE_RESULT && e.item == "SP1" && e.value == 70 && ok(e.result) &&
                       e.client == link;
    EXPECT_TRUE(write_event);
    size_t link_reads = 0;
    for (const Event &e : Recorder::get().events())
        link_reads += e.type == NCEVENT_READ_RESULT && e.client == link;
    EXPECT_GT(link_reads, 5u);

    struct Refused {
        const char *topic, *payload, *log;
    } refused[] = {
        {"plant/Demo/Pumps/V1/set", "1", "no write access to device \"Pumps\""},
        {"plant/Demo/Boiler/OUT/set", "abc", "\"abc\" is not a number"},
        {"plant/Demo/Nobody/X/set", "1", "no such device"},
    };
    for (const Refused &r : refused) {
        sub.send(r.topic, r.payload);
        EXPECT_TRUE(sub.wait(std::string(r.topic) + "/result", "refused")) << r.topic;
        EXPECT_TRUE(Recorder::get().wait_log(r.log)) << r.log;
    }
    EXPECT_TRUE(ok(read_float(2, "V1", "", v)));
    EXPECT_EQ(v, 180);

    // A late subscriber gets the last values, retained.
    Subscriber late(broker.port, "plant/Demo/Boiler/#");
    ASSERT_TRUE(late.wait("plant/Demo/Boiler/SP1", "\"value\":70"));
    EXPECT_TRUE(late.on("plant/Demo/Boiler/SP1")[0].retain);
    EXPECT_TRUE(late.on("plant/Demo/Boiler/SP1/set/result").empty()) << "a write result was retained";

    session.finish();
    EXPECT_TRUE(sub.wait("plant/status", "offline"));
    size_t gone = 0;
    for (const Event &e : Recorder::get().events())
        gone += e.type == NCEVENT_CLIENT_DISCONNECTED && e.client == link;
    EXPECT_EQ(gone, 1u);
}

TEST(Mqtt, BrokerRestartLosesNothingWithinTheQueueBound)
{
    struct Case {
        int bound;
        std::vector<std::string> arrive, lost;
    } cases[] = {
        {100, {"SP1", "PV", "OUT"}, {}},
        {2, {"PV", "OUT"}, {"SP1"}}, // the oldest goes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bound);
        TempDir dir;
        write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\nPV=63.5\nOUT=25\n[pumps]\nV1=180\n");
        Broker broker(dir);
        write_file(dir.file("plexord.ini"), plant_config(broker.port, "queue=" + std::to_string(c.bound) + "\n"));
        Session session(dir.path());
        {
            Subscriber sub(broker.port, "plant/#");
            ASSERT_TRUE(sub.wait("plant/Demo/Boiler/OUT", "\"value\":25"));
        }
        broker.stop();
        ASSERT_TRUE(Recorder::get().wait_log("MQTT: no connection"));
        // Changed while the broker is away, in one queue: one scan pass publishes all three.
        ASSERT_TRUE(ok(write_float(1, "SP1", "", 1)) && ok(write_float(1, "PV", "", 2)) &&
                    ok(write_float(1, "OUT", "", 3)));
        ASSERT_TRUE(Recorder::get().wait([](const std::vector<Event> &ev) {
            for (const Event &e : ev)
                if (e.type == NCEVENT_READ_RESULT && e.item == "OUT" && e.value == 3)
                    return true;
            return false;
        }));
        broker.start();
        Subscriber sub(broker.port, "plant/Demo/#");
        std::vector<std::pair<std::string, std::string>> want = {{"SP1", "1"}, {"PV", "2"}, {"OUT", "3"}};
        for (const auto &[item, value] : want) {
            bool should = std::find(c.arrive.begin(), c.arrive.end(), item) != c.arrive.end();
            EXPECT_EQ(sub.wait("plant/Demo/Boiler/" + item, "\"value\":" + value, should ? 8000 : 1000), should)
                << item;
        }
        if (!c.lost.empty()) {
            EXPECT_TRUE(Recorder::get().wait_log("publication queue is full"));
            EXPECT_TRUE(Recorder::get().wait_log(std::to_string(c.lost.size()) + " were dropped"));
        }
    }
}

TEST(Mqtt, TlsWithTheBrokersCaOnly)
{
    TempDir dir;
    write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\n");
    auto sh = [&](const std::string &cmd) {
        return system(("cd '" + dir.path() + "' && { " + cmd + "; } >/dev/null 2>&1").c_str());
    };
    ASSERT_EQ(sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout ca.key -out ca.crt &&"
                 "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=OtherCA -keyout other.key "
                 "-out other.crt &&"
                 "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr &&"
                 "printf 'subjectAltName=IP:127.0.0.1' > san.ext &&"
                 "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
                 "-out server.crt"),
              0);
    struct Case {
        const char *ca;
        bool connects;
    } cases[] = {{"ca.crt", true}, {"other.crt", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ca);
        // A broker of its own for each case: no value retained from the one before.
        Broker broker(dir, "cafile " + dir.file("ca.crt") + "\ncertfile " + dir.file("server.crt") + "\nkeyfile " +
                               dir.file("server.key") + "\n");
        write_file(dir.file("plexord.ini"),
                   plant_config(broker.tls_port, std::string("tls=1\nca_file=") + c.ca + "\n"));
        Subscriber sub(broker.port, "plant/#");
        Session session(dir.path());
        EXPECT_EQ(sub.wait("plant/Demo/Boiler/SP1", "\"value\":65", c.connects ? 8000 : 2000), c.connects);
        if (!c.connects) {
            EXPECT_TRUE(Recorder::get().wait_log("MQTT: no connection"));
        }
    }
}

TEST(Mqtt, PasswordIsEncryptedInTheFileAndGivenToTheBroker)
{
    TempDir dir;
    write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\n");
    std::string make_passwd = "mosquitto_passwd -b -c '" + dir.file("passwd") + "' plexord 'pa ss' >/dev/null 2>&1";
    ASSERT_EQ(system(make_passwd.c_str()), 0);
    Broker broker(dir, {}, "allow_anonymous false\npassword_file " + dir.file("passwd") + "\n");
    struct Case {
        const char *password; // null: as the save before left it
        bool connects;
    } cases[] = {{"pa ss", true}, {nullptr, true}, {"wrong", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.password ? c.password : "saved");
        if (c.password)
            write_file(dir.file("plexord.ini"),
                       plant_config(broker.port, std::string("user=plexord\npassword=") + c.password + "\n"));
        {
            Session session(dir.path());
            EXPECT_TRUE(Recorder::get().wait_log(c.connects ? "MQTT: connected" : "MQTT: no connection"));
            session.finish();
        }
        std::string saved = read_file(dir.file("plexord.ini"));
        EXPECT_NE(saved.find("password=secretbox:"), std::string::npos) << saved;
        EXPECT_EQ(saved.find("pa ss"), std::string::npos) << "the password is in clear";
    }
}

TEST(Mqtt, StopDoesNotWaitOnABrokerHostThatNeverAnswers)
{
    // A listener whose accept queue is full drops further SYNs, as a host
    // behind a silent firewall does: a blocking connect would hang for minutes.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    std::vector<int> fill;
    for (int i = 0; i < 3; ++i) {
        fill.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fill.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    usleep(200 * 1000);

    TempDir dir;
    write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\nPV=63.5\nOUT=25\n[pumps]\nV1=180\n");
    write_file(dir.file("plexord.ini"), plant_config(ntohs(a.sin_port), ""));
    {
        Session session(dir.path());
        ASSERT_TRUE(wait_reads("SP1", 2)) << "the scan waits on the broker";
        auto t0 = std::chrono::steady_clock::now();
        session.finish();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
    for (int fd : fill)
        close(fd);
    close(lfd);
}

TEST(Mqtt, AStopCuttingAScanPublishesNoFailure)
{
    // Each pass takes 300 ms on a 100 ms interval: the stop always finds one in flight.
    TempDir dir;
    write_file(dir.file("sp.ini"), "[boiler]\nSP1=65\nPV=63.5\nOUT=25\n[pumps]\nV1=180\n");
    Broker broker(dir);
    std::string config = plant_config(broker.port, "");
    config.replace(config.find("p.delay=0"), 9, "p.delay=300");
    write_file(dir.file("plexord.ini"), config);
    Subscriber sub(broker.port, "plant/#");
    {
        Session session(dir.path());
        ASSERT_TRUE(sub.wait("plant/Demo/Boiler/OUT", "\"value\":25"));
        ASSERT_TRUE(wait_reads("OUT", reads_of("OUT") + 1));
        session.finish();
    }
    ASSERT_TRUE(sub.wait("plant/status", "offline"));
    bool aborted_read = false;
    for (const Event &e : Recorder::get().events())
        aborted_read |= e.type == NCEVENT_READ_RESULT && (e.result.code & 0xff) == NCERR_ABORTED;
    EXPECT_TRUE(aborted_read) << "no scan was in flight at the stop: the case proves nothing";
    for (const char *item : {"SP1", "PV", "OUT"})
        for (const auto &m : sub.on(std::string("plant/Demo/Boiler/") + item))
            EXPECT_NE(m.payload.find("\"status\":\"OK\""), std::string::npos) << m.payload;
}
