// The server side of the remote-client wire protocol (see server_proto.h).
#include "server_proto.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace plexord::wire {

namespace {

struct Fault {
    End end;
    std::string reason;
};

[[noreturn]] void malformed(std::string reason)
{
    throw Fault{End::Malformed, std::move(reason)};
}

std::string hex(uint8_t b)
{
    static const char d[] = "0123456789abcdef";
    return std::string("0x") + d[b >> 4] + d[b & 15];
}

class Io {
public:
    explicit Io(Stream &s) : s_(s) {}

    void get(void *buf, size_t n)
    {
        if (!s_.read(buf, n))
            throw Fault{End::Lost, "connection lost in the middle of an exchange"};
    }
    void put(const void *buf, size_t n)
    {
        if (!s_.write(buf, n))
            throw Fault{End::Lost, "connection lost while answering"};
    }
    uint8_t byte()
    {
        uint8_t b = 0;
        get(&b, 1);
        return b;
    }
    void put_byte(uint8_t b) { put(&b, 1); }
    void expect(uint8_t want, const char *where)
    {
        uint8_t b = byte();
        if (b != want)
            malformed(std::string(where) + ": " + hex(b) + " instead of " + hex(want));
    }
    uint16_t u16()
    {
        uint8_t b[2];
        get(b, 2);
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    }
    int32_t i32()
    {
        uint8_t b[4];
        get(b, 4);
        uint32_t u = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        int32_t v;
        std::memcpy(&v, &u, 4);
        return v;
    }
    float f32()
    {
        int32_t i = i32();
        float f;
        std::memcpy(&f, &i, 4);
        return f;
    }
    void put_u16(uint16_t v)
    {
        uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        put(b, 2);
    }
    void put_i32(int32_t v)
    {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                        static_cast<uint8_t>(u >> 24)};
        put(b, 4);
    }
    void put_f32(float f)
    {
        int32_t i;
        std::memcpy(&i, &f, 4);
        put_i32(i);
    }
    // A NUL-terminated string of at most limit bytes with the NUL.
    std::string str(size_t limit, const char *what)
    {
        std::string out;
        for (;;) {
            uint8_t b = byte();
            if (b == 0)
                return out;
            if (out.size() + 2 > limit)
                malformed(std::string(what) + " longer than " + std::to_string(limit - 1) + " bytes");
            out.push_back(static_cast<char>(b));
        }
    }
    // Strings we send are cut to the limit, so that a client never rejects them.
    void put_str(const std::string &s)
    {
        size_t n = std::min(s.size(), kMaxString - 1);
        size_t nul = s.find('\0');
        if (nul != std::string::npos)
            n = std::min(n, nul);
        put(s.data(), n);
        put_byte(0);
    }

private:
    Stream &s_;
};

int32_t to_i32(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Out of range is infinite rather than undefined.
float to_f32(double v)
{
    constexpr double top = std::numeric_limits<float>::max();
    if (v > top)
        return std::numeric_limits<float>::infinity();
    if (v < -top)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

void do_read_flush(Io &io, std::vector<Run> &runs)
{
    size_t total = 0;
    runs.clear();
    for (;;) {
        io.expect(STX, "flush");
        Run run;
        run.device = io.u16();
        for (;;) {
            uint8_t t = io.byte();
            if (t == ETB || t == ETX) {
                runs.push_back(std::move(run));
                io.put_byte(ACK);
                if (t == ETX)
                    return;
                break;
            }
            if (t != 'I' && t != 'F' && t != 'S')
                malformed("flush: value type " + hex(t));
            if (++total > kMaxItems)
                malformed("flush: more than " + std::to_string(kMaxItems) + " items");
            Item it;
            it.type = static_cast<char>(t);
            it.op = io.byte();
            if (it.op != OP_READ && it.op != OP_WRITE)
                malformed("flush: operation " + hex(it.op));
            it.name = io.str(kMaxString, "setpoint name");
            it.qualifier = io.str(kMaxString, "qualifier");
            if (it.type == 'S') {
                it.length = io.i32();
                if (it.length < 0 || it.length > kMaxBuffer)
                    malformed("flush: buffer length " + std::to_string(it.length));
                if (it.op == OP_WRITE) {
                    // No network takes buffers: the bytes are read and dropped.
                    uint8_t skip[512];
                    for (int32_t left = it.length; left > 0;) {
                        size_t n = std::min<size_t>(sizeof skip, static_cast<size_t>(left));
                        io.get(skip, n);
                        left -= static_cast<int32_t>(n);
                    }
                }
            } else if (it.op == OP_WRITE) {
                if (it.type == 'I')
                    it.ivalue = io.i32();
                else
                    it.fvalue = io.f32();
            }
            run.items.push_back(std::move(it));
        }
    }
}

void do_write_answers(Io &io, const std::vector<Run> &runs)
{
    for (size_t r = 0; r < runs.size(); ++r) {
        io.put_byte(STX);
        io.put_u16(runs[r].device);
        for (const Item &it : runs[r].items) {
            // A buffer is never answered with a value: no network has one.
            bool present = it.has_value && it.type != 'S';
            io.put_byte(static_cast<uint8_t>(it.type));
            io.put_byte(present ? 1 : 0);
            io.put_byte(it.status);
            io.put_str(it.name);
            io.put_str(it.qualifier);
            if (present) {
                if (it.type == 'I')
                    io.put_i32(to_i32(it.value));
                else
                    io.put_f32(to_f32(it.value));
            }
        }
        io.put_byte(r + 1 < runs.size() ? ETB : ETX);
        io.expect(ACK, "flush answers");
    }
    io.put_byte(EOT);
    io.expect(EOT, "flush end");
}

void do_devices(Io &io, const std::vector<DeviceEntry> &list)
{
    for (size_t i = 0; i < list.size(); ++i) {
        const DeviceEntry &d = list[i];
        io.put_byte(STX);
        io.put_u16(d.id);
        io.put_byte(d.type);
        io.put_str(d.name);
        io.put_str(d.description);
        io.put_str(d.hardware);
        io.put_byte(i + 1 < list.size() ? ETB : ETX);
        io.expect(ACK, "device list");
    }
    io.put_byte(EOT);
    io.expect(EOT, "device list end");
}

bool do_login(Io &io, Backend &b, std::string &reason)
{
    std::string user = io.str(kMaxString, "user name");
    if (user == kChallengeUser) {
        std::string path;
        if (!b.challenge_begin(path)) {
            reason = "challenge login refused: challenges are off";
            b.refused();
            io.put_byte(NAK);
            return false;
        }
        io.put_byte(ACK);
        io.put(path.data(), path.size());
        io.put_byte(0);
        std::string answer;
        try {
            answer = io.str(kMaxChallengeAnswer, "challenge answer");
        } catch (...) {
            b.challenge_end(std::string());
            throw;
        }
        if (!b.challenge_end(answer)) {
            reason = "challenge login refused: wrong answer";
            b.refused();
            io.put_byte(NAK);
            return false;
        }
        io.put_byte(ACK);
        return true;
    }
    std::string password = io.str(kMaxString, "password");
    if (!b.login(user, password)) {
        reason = "login refused for user \"" + user + "\"";
        b.refused();
        io.put_byte(NAK);
        return false;
    }
    io.put_byte(ACK);
    return true;
}

} // namespace

End read_flush(Stream &s, std::vector<Run> &runs, std::string &reason)
{
    Io io(s);
    try {
        do_read_flush(io, runs);
        return End::Closed;
    } catch (const Fault &f) {
        reason = f.reason;
        return f.end;
    }
}

End write_answers(Stream &s, const std::vector<Run> &runs, std::string &reason)
{
    Io io(s);
    try {
        do_write_answers(io, runs);
        return End::Closed;
    } catch (const Fault &f) {
        reason = f.reason;
        return f.end;
    }
}

End run_session(Stream &s, Backend &b, std::string &reason)
{
    Io io(s);
    try {
        if (!do_login(io, b, reason))
            return End::Refused;
        for (;;) {
            if (!s.wait_exchange()) {
                reason = "left";
                return End::Closed;
            }
            io.expect(SOH, "exchange");
            uint8_t cmd = io.byte();
            io.expect(ETB, "exchange header");
            switch (cmd) {
            case CMD_FLUSH:
            case CMD_FLUSH_PRIO: {
                io.put_byte(ACK);
                std::vector<Run> runs;
                do_read_flush(io, runs);
                b.perform(runs, cmd == CMD_FLUSH_PRIO);
                do_write_answers(io, runs);
                break;
            }
            case CMD_DEVLIST:
                io.put_byte(ACK);
                do_devices(io, b.devices());
                break;
            case CMD_INFO: {
                io.put_byte(ACK);
                io.expect(STX, "client information");
                std::string text = io.str(kMaxString, "client information");
                io.expect(ETX, "client information");
                b.set_description(text);
                io.put_byte(EOT);
                io.expect(EOT, "client information end");
                break;
            }
            default:
                malformed("unknown command " + hex(cmd));
            }
        }
    } catch (const Fault &f) {
        reason = f.reason;
        return f.end;
    }
}

} // namespace plexord::wire
