// Remote clients: the listener, one thread per client, and the backend that
// performs a client's logins and requests on the core.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <set>

#include <sodium.h>

#include "core.h"
#include "server_proto.h"

namespace plexord {

namespace {

constexpr int kMaxClients = 64;
constexpr int kStallMs = 10000;       // a peer silent this long mid-exchange is dropped
constexpr int kRefuseDelayMs = 1000;  // before a refused login is answered
constexpr int kAcceptPollMs = 200;
constexpr int kNetworkWaitMs = 1000;

struct Client {
    uint32_t id = 0;
    int fd = -1;
    std::string peer;
    std::thread th;
    std::atomic<bool> done{false};
};

struct Server {
    std::mutex run_m; // start and stop, one at a time
    std::mutex m;     // the fields below
    std::condition_variable cv;
    bool stopping = false;
    int listen_fd = -1;
    std::atomic<int> port{0};
    std::thread acceptor;
    std::list<std::unique_ptr<Client>> clients;
};

Server g_srv;
std::mutex g_verify_m;
std::atomic<uint32_t> g_next_client{1};

} // namespace

uint32_t new_client_id()
{
    return g_next_client++;
}

void post_client(int type, uint32_t id, const std::string &text)
{
    Core *c = core();
    if (!c)
        return;
    ncevent_t ev{};
    ev.type = type;
    ev.result = ok();
    ev.client_id = id;
    ev.client_text = const_cast<char *>(text.c_str());
    if (ncevent_t *copy = ncevent_copy(&ev))
        c->events.post(copy);
}

namespace {

// Waits up to ms unless the server stops; true when it stops.
bool stop_wait(int ms)
{
    std::unique_lock lk(g_srv.m);
    return g_srv.cv.wait_for(lk, std::chrono::milliseconds(ms), [] { return g_srv.stopping; });
}

class SocketStream : public wire::Stream {
public:
    explicit SocketStream(int fd) : fd_(fd) {}

    bool read(void *buf, size_t n) override
    {
        auto *p = static_cast<char *>(buf);
        while (n > 0) {
            if (!ready(POLLIN, kStallMs))
                return false;
            ssize_t r = recv(fd_, p, n, 0);
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    bool write(const void *buf, size_t n) override
    {
        const char *p = static_cast<const char *>(buf);
        while (n > 0) {
            if (!ready(POLLOUT, kStallMs))
                return false;
            ssize_t r = send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    bool wait_exchange() override
    {
        if (!ready(POLLIN, -1))
            return false;
        char b;
        ssize_t r;
        do
            r = recv(fd_, &b, 1, MSG_PEEK);
        while (r < 0 && errno == EINTR);
        return r > 0;
    }

private:
    bool ready(short what, int ms)
    {
        pollfd p{fd_, what, 0};
        for (;;) {
            int r = poll(&p, 1, ms);
            if (r < 0 && errno == EINTR)
                continue;
            // An error or hang-up is left for recv or send to report.
            return r > 0;
        }
    }
    int fd_;
};

// Truncated toward zero, saturated; NaN is 0.
int64_t truncated(double v)
{
    if (!(v == v))
        return 0;
    if (v >= 9.2e18)
        return INT64_MAX;
    if (v <= -9.2e18)
        return INT64_MIN;
    return static_cast<int64_t>(v);
}

int status_of(ncerr_t r)
{
    if (is_ok(r))
        return wire::ST_OK;
    switch (r.code & 0xff) {
    case NCERR_ACCESS_DENIED: return wire::ST_NO_ACCESS;
    case NCERR_NOT_STARTED:
    case NCERR_ABORTED:
    case NCERR_BUSY:
    case NCERR_STATE: return wire::ST_NOT_PROCESSED;
    default: return wire::ST_FAILED;
    }
}

class CoreBackend : public wire::Backend {
public:
    CoreBackend(Core &c, const Client &cl) : c_(c), cl_(cl) {}
    ~CoreBackend() override { drop_secret(); }

    const std::string &who() const { return who_; }

    bool login(const std::string &user, const std::string &password) override
    {
        for (uint16_t id : c_.users.ids()) {
            plexord_user *u = c_.users.get(id);
            if (!u)
                continue;
            {
                std::lock_guard lk(u->data);
                if (u->name != user)
                    continue;
            }
            bool match;
            {
                // A check takes tens of megabytes: one at a time, whatever
                // the number of clients logging in.
                std::lock_guard lk(g_verify_m);
                match = user_check_password(u, password.c_str()) != 0;
            }
            if (!match)
                return false;
            user_id_ = id;
            who_ = "user \"" + user + "\"";
            note_login();
            return true;
        }
        return false;
    }

    bool challenge_begin(std::string &path) override
    {
        if (!c_.local_challenge)
            return false;
        drop_secret();
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/plexord-challenge-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) { // made 0700
            log_line(" ! Client " + std::to_string(cl_.id) + ": cannot make a challenge folder: " + strerror(errno));
            return false;
        }
        dir_ = buf.data();
        file_ = dir_ + "/secret";
        unsigned char raw[32];
        randombytes_buf(raw, sizeof raw);
        char hex[2 * sizeof raw + 1];
        sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
        sodium_memzero(raw, sizeof raw);
        secret_.assign(hex, 2 * sizeof raw);
        sodium_memzero(hex, sizeof hex);
        int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        bool written = fd >= 0 && ::write(fd, secret_.data(), secret_.size()) == static_cast<ssize_t>(secret_.size());
        if (fd >= 0)
            close(fd);
        if (!written || file_.size() >= wire::kMaxChallengeAnswer) {
            log_line(" ! Client " + std::to_string(cl_.id) + ": cannot write the challenge file " + file_);
            drop_secret();
            return false;
        }
        path = file_;
        return true;
    }

    bool challenge_end(const std::string &answer) override
    {
        bool match = !secret_.empty() && answer.size() == secret_.size() &&
                     sodium_memcmp(answer.data(), secret_.data(), secret_.size()) == 0;
        drop_secret();
        if (match) {
            admin_ = true;
            who_ = "local administrator";
            note_login();
        }
        return match;
    }

    void refused() override
    {
        // Slows password guessing down; a stop cuts the wait.
        stop_wait(kRefuseDelayMs);
    }

    std::vector<wire::DeviceEntry> devices() override
    {
        std::vector<wire::DeviceEntry> out;
        for (uint16_t id : c_.devices.ids()) {
            plexord_dev *d = c_.devices.get(id);
            if (!d)
                continue;
            wire::DeviceEntry e;
            e.id = id;
            std::lock_guard lk(d->data);
            e.name = nz(d->name);
            e.description = nz(d->description);
            e.hardware = d->hardware ? d->hardware->name : d->hw_missing;
            out.push_back(std::move(e));
        }
        return out;
    }

    void set_description(const std::string &text) override { post_client(NCEVENT_CLIENT_CHANGED, cl_.id, text); }

    void perform(std::vector<wire::Run> &runs, bool priority) override
    {
        struct Slot {
            wire::Item *item;
            uint16_t device;
            uint16_t network;
        };
        std::map<uint16_t, std::vector<Slot>> by_network;
        std::set<std::pair<std::string, int>> denied;
        plexord_user *user = admin_ ? nullptr : c_.users.get(user_id_);
        for (wire::Run &run : runs) {
            DeviceInfo di;
            bool known = c_.devices.info(run.device, di);
            for (wire::Item &it : run.items) {
                bool write = it.op == wire::OP_WRITE;
                double v = it.type == 'I' ? it.ivalue : static_cast<double>(it.fvalue);
                int req = write ? NCEVENT_WRITE_REQUEST : NCEVENT_READ_REQUEST;
                if (!known) {
                    it.status = wire::ST_FAILED;
                    continue;
                }
                bool allowed = admin_ || (user && (write ? user_may_write(user, di.name.c_str())
                                                         : user_may_read(user, di.name.c_str())));
                ncerr_t r = ok();
                if (!allowed) {
                    r = fail(NCERR_ACCESS_DENIED);
                    denied.insert({di.name, it.op});
                } else if (it.type == 'S') {
                    r = fail(NCERR_INVALID); // no network takes buffers
                } else {
                    by_network[di.network_id].push_back({&it, run.device, di.network_id});
                    continue;
                }
                it.status = static_cast<uint8_t>(status_of(r));
                post_io(req, di.network_id, run.device, cl_.id, it.name, it.qualifier, write ? v : 0.0, ok());
                post_io(req + 1, di.network_id, run.device, cl_.id, it.name, it.qualifier, write ? v : 0.0, r);
            }
        }
        for (const auto &[name, op] : denied)
            log_line(" ! Client " + std::to_string(cl_.id) + " (" + who_ + "): no " +
                     (op == wire::OP_WRITE ? "write" : "read") + " access to device \"" + name + "\"");

        for (auto &[net_id, slots] : by_network)
            perform_on(net_id, slots, priority);
    }

private:
    template <typename Slots>
    void perform_on(uint16_t net_id, Slots &slots, bool priority)
    {
        for (auto &s : slots) {
            bool write = s.item->op == wire::OP_WRITE;
            double v = s.item->type == 'I' ? s.item->ivalue : static_cast<double>(s.item->fvalue);
            post_io(write ? NCEVENT_WRITE_REQUEST : NCEVENT_READ_REQUEST, net_id, s.device, cl_.id, s.item->name,
                    s.item->qualifier, write ? v : 0.0, ok());
        }
        network_t *h = c_.networks.fetch(net_id, kNetworkWaitMs);
        ncerr_t whole = ok();
        if (!h) {
            whole = c_.networks.get(net_id) ? fail(NCERR_BUSY) : fail(NCERR_NO_NETWORK);
        } else {
            try {
                h->queue.clear();
                for (auto &s : slots) {
                    wire::Item &it = *s.item;
                    // Both values, as the console's queue functions keep them.
                    bool integer = it.type == 'I';
                    double fv = integer ? it.ivalue : static_cast<double>(it.fvalue);
                    int64_t iv = integer ? it.ivalue : truncated(it.fvalue);
                    QueuedIo q{s.device, it.name, it.qualifier, it.op == wire::OP_WRITE ? PXP_WRITE : PXP_READ,
                               integer ? PXP_INTEGER : PXP_FLOAT, iv, fv, fail(NCERR_STATE), false};
                    h->queue.push_back(std::move(q));
                }
                flush_queue(h, priority);
            } catch (...) {
                whole = fail(NCERR_STATE);
            }
        }
        for (size_t i = 0; i < slots.size(); ++i) {
            wire::Item &it = *slots[i].item;
            bool write = it.op == wire::OP_WRITE;
            ncerr_t r = whole;
            double v = it.type == 'I' ? it.ivalue : static_cast<double>(it.fvalue);
            if (is_ok(whole) && i < h->queue.size()) {
                const QueuedIo &q = h->queue[i];
                r = q.result;
                if (is_ok(r) && !write)
                    v = it.type == 'I' ? static_cast<double>(q.ivalue) : q.fvalue;
            }
            it.status = static_cast<uint8_t>(status_of(r));
            it.has_value = is_ok(r);
            it.value = v;
            post_io(write ? NCEVENT_WRITE_RESULT : NCEVENT_READ_RESULT, net_id, slots[i].device, cl_.id, it.name,
                    it.qualifier, is_ok(r) || write ? v : 0.0, r);
        }
        if (h) {
            h->queue.clear();
            c_.networks.drop(h);
        }
    }

    void note_login()
    {
        log_line(" * Client " + std::to_string(cl_.id) + " logged in as " + who_);
        post_client(NCEVENT_CLIENT_EVENT, cl_.id, "Logged in as " + who_);
    }

    void drop_secret()
    {
        if (!secret_.empty())
            sodium_memzero(secret_.data(), secret_.size());
        secret_.clear();
        if (!file_.empty())
            unlink(file_.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
        file_.clear();
        dir_.clear();
    }

    Core &c_;
    const Client &cl_;
    uint16_t user_id_ = 0;
    bool admin_ = false;
    std::string who_ = "nobody";
    std::string secret_, dir_, file_;
};

void client_main(Client *cl)
{
    Core *c = core();
    std::string reason;
    wire::End end = wire::End::Closed;
    if (c) {
        int one = 1;
        setsockopt(cl->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SocketStream s(cl->fd);
        CoreBackend b(*c, *cl);
        try {
            end = wire::run_session(s, b, reason);
        } catch (...) {
            end = wire::End::Lost;
            reason = "out of memory";
        }
        std::string who = "Client " + std::to_string(cl->id) + " (" + cl->peer + ", " + b.who() + ")";
        switch (end) {
        case wire::End::Closed: log_line(" * " + who + " disconnected"); break;
        case wire::End::Refused:
            log_line(" ! " + who + ": " + reason);
            post_client(NCEVENT_CLIENT_EVENT, cl->id, reason);
            break;
        case wire::End::Malformed: log_line(" ! " + who + ": malformed exchange (" + reason + "), disconnected"); break;
        case wire::End::Lost: log_line(" ! " + who + ": " + reason + ", disconnected"); break;
        }
    }
    {
        std::lock_guard lk(g_srv.m);
        close(cl->fd);
        cl->fd = -1;
    }
    if (c)
        c->clients--;
    post_client(NCEVENT_CLIENT_DISCONNECTED, cl->id, cl->peer);
    cl->done = true;
}

std::string peer_text(const sockaddr_storage &a)
{
    char host[NI_MAXHOST] = "?", serv[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&a), sizeof a, host, sizeof host, serv, sizeof serv,
                NI_NUMERICHOST | NI_NUMERICSERV);
    return a.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + serv : std::string(host) + ":" + serv;
}

// With g_srv.m held: joins the threads of clients that have ended.
void reap_locked(bool all)
{
    for (auto it = g_srv.clients.begin(); it != g_srv.clients.end();) {
        if (all || (*it)->done) {
            if ((*it)->th.joinable())
                (*it)->th.join();
            it = g_srv.clients.erase(it);
        } else {
            ++it;
        }
    }
}

void accept_main(int lfd)
{
    for (;;) {
        {
            std::lock_guard lk(g_srv.m);
            if (g_srv.stopping)
                return;
            reap_locked(false);
        }
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, kAcceptPollMs) <= 0)
            continue;
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Core *c = core();
        std::string peer = peer_text(addr);
        std::lock_guard lk(g_srv.m);
        size_t active = 0;
        for (auto &cl : g_srv.clients)
            active += !cl->done;
        if (!c || g_srv.stopping || active >= static_cast<size_t>(kMaxClients)) {
            close(fd);
            if (c && !g_srv.stopping)
                log_line(" ! Connection from " + peer + " refused: already " + std::to_string(kMaxClients) +
                         " clients");
            continue;
        }
        auto cl = std::make_unique<Client>();
        cl->id = new_client_id();
        cl->fd = fd;
        cl->peer = peer;
        c->clients++;
        log_line(" * Client " + std::to_string(cl->id) + " connected from " + peer);
        post_client(NCEVENT_CLIENT_CONNECTED, cl->id, peer);
        try {
            cl->th = std::thread(client_main, cl.get());
            g_srv.clients.push_back(std::move(cl));
        } catch (...) {
            close(fd);
            c->clients--;
            post_client(NCEVENT_CLIENT_DISCONNECTED, cl->id, peer);
        }
    }
}

std::string endpoint(const std::string &address, int port)
{
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

} // namespace

void server_start(Core &c)
{
    std::lock_guard run(g_srv.run_m);
    std::string address;
    int listen_port;
    {
        std::lock_guard lk(c.listen_m);
        address = c.listen_address;
        listen_port = c.listen_port;
        if (c.listen_held)
            return;
    }
    if (g_srv.listen_fd >= 0 || address.empty())
        return;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    std::string port = std::to_string(listen_port);
    int gai = getaddrinfo(address.c_str(), port.c_str(), &hints, &res);
    if (gai != 0 || !res) {
        log_line(" ! Cannot listen for remote clients on " + endpoint(address, listen_port) + ": " +
                 gai_strerror(gai));
        return;
    }
    int fd = -1, err = 0;
    for (addrinfo *a = res; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 16) != 0) {
            err = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0) {
        log_line(" ! Cannot listen for remote clients on " + endpoint(address, listen_port) + ": " +
                 strerror(err));
        return;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    int actual = listen_port;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0)
        actual = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                    : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    {
        std::lock_guard lk(g_srv.m);
        g_srv.stopping = false;
        g_srv.listen_fd = fd;
    }
    try {
        g_srv.acceptor = std::thread(accept_main, fd);
    } catch (...) {
        close(fd);
        g_srv.listen_fd = -1;
        log_line(" ! Cannot listen for remote clients: no thread");
        return;
    }
    g_srv.port = actual;
    log_line(" * Listening for remote clients on " + endpoint(address, actual));
}

void server_stop()
{
    std::lock_guard run(g_srv.run_m);
    if (g_srv.listen_fd < 0)
        return;
    {
        std::lock_guard lk(g_srv.m);
        g_srv.stopping = true;
        // Wakes every client out of its read, write or idle wait.
        for (auto &cl : g_srv.clients)
            if (cl->fd >= 0)
                shutdown(cl->fd, SHUT_RDWR);
    }
    g_srv.cv.notify_all();
    if (g_srv.acceptor.joinable())
        g_srv.acceptor.join();
    // The acceptor has ended: nobody adds clients any more. Joined without
    // the lock, which the ending clients take.
    std::list<std::unique_ptr<Client>> ending;
    {
        std::lock_guard lk(g_srv.m);
        ending.swap(g_srv.clients);
    }
    for (auto &cl : ending)
        if (cl->th.joinable())
            cl->th.join();
    close(g_srv.listen_fd);
    g_srv.listen_fd = -1;
    g_srv.port = 0;
    log_line(" * Stopped listening for remote clients");
}

int server_port()
{
    return g_srv.port;
}

} // namespace plexord

using namespace plexord;

extern "C" {

PLEXORD_API ncerr_t plexord_set_listen(const char *address, int port)
{
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    std::string a = nz(address);
    if (port < 0 || port > 65535 || a.size() >= wire::kMaxString || a.find_first_of(" \t\r\n") != std::string::npos)
        return fail(NCERR_INVALID);
    try {
        std::lock_guard lk(c->listen_m);
        c->listen_held = false;
        if (c->listen_address != a || c->listen_port != port) {
            c->listen_address = a;
            c->listen_port = port;
            touch();
        }
    } catch (...) {
        return fail(NCERR_STATE);
    }
    return ok();
}

PLEXORD_API int plexord_get_listen_port(void)
{
    return server_port();
}

} // extern "C"
