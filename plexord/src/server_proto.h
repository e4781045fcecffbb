// The server side of the remote-client wire protocol, without sockets: a
// session reads and writes through a Stream and asks a Backend for logins,
// devices and I/O, so that the exchange can be driven from memory (fuzzing)
// as well as from a connection.
#ifndef PLEXORD_SERVER_PROTO_H
#define PLEXORD_SERVER_PROTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plexord::wire {

enum : uint8_t { SOH = 0x01, STX = 0x02, ETX = 0x03, EOT = 0x04, ACK = 0x06, NAK = 0x15, ETB = 0x17 };
enum : uint8_t { CMD_FLUSH = 1, CMD_DEVLIST = 2, CMD_INFO = 3, CMD_FLUSH_PRIO = 8 };
enum : uint8_t { OP_READ = 1, OP_WRITE = 2 };
// Answer statuses as the client reads them.
enum : uint8_t { ST_OK = 0, ST_NOT_PROCESSED = 1, ST_FAILED = 2, ST_NO_ACCESS = 4 };

constexpr size_t kMaxString = 256;          // bytes with the NUL
constexpr size_t kMaxChallengeAnswer = 1024; // file content (at most 1023) and the NUL
constexpr size_t kMaxItems = 10000;          // per flush
constexpr int32_t kMaxBuffer = 64 * 1024;    // bytes of a buffer write
constexpr const char *kChallengeUser = "CHALLENGE";

// Byte transport. read fills exactly n bytes or fails; write sends all or
// fails. wait_exchange blocks until the first byte of the next exchange can
// be read (no time-out: a client may stay idle); false ends the session.
class Stream {
public:
    virtual ~Stream() = default;
    virtual bool read(void *buf, size_t n) = 0;
    virtual bool write(const void *buf, size_t n) = 0;
    virtual bool wait_exchange() { return true; }
};

struct Item {
    char type = 'F';    // 'I', 'F' or 'S'
    uint8_t op = OP_READ;
    std::string name, qualifier;
    int32_t ivalue = 0; // 'I' write
    float fvalue = 0;   // 'F' write
    int32_t length = 0; // 'S': bytes written or wanted
    // Filled by the backend.
    uint8_t status = ST_NOT_PROCESSED;
    bool has_value = false;
    double value = 0;
};

struct Run {
    uint16_t device = 0;
    std::vector<Item> items;
};

struct DeviceEntry {
    uint16_t id = 0;
    uint8_t type = 0;
    std::string name, description, hardware;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Password login; false refuses it.
    virtual bool login(const std::string &user, const std::string &password) = 0;
    // Starts a challenge: the path of a fresh secret file, or false when
    // challenges are off.
    virtual bool challenge_begin(std::string &path) = 0;
    // Checks the answer and removes the secret in any case.
    virtual bool challenge_end(const std::string &answer) = 0;
    // Called once after a refused login, before the refusing byte.
    virtual void refused() {}
    virtual std::vector<DeviceEntry> devices() = 0;
    virtual void set_description(const std::string &text) = 0;
    // Fills status and value of every item.
    virtual void perform(std::vector<Run> &runs, bool priority) = 0;
};

enum class End {
    Closed,    // the peer left between exchanges, or the session was stopped
    Refused,   // the login was refused
    Malformed, // a protocol fault; reason says which
    Lost       // the connection failed or stalled mid-exchange
};

// Runs a session from the login to its end; reason describes the end.
End run_session(Stream &s, Backend &b, std::string &reason);

// Pieces of the session, for callers that drive one exchange.
End read_flush(Stream &s, std::vector<Run> &runs, std::string &reason);
End write_answers(Stream &s, const std::vector<Run> &runs, std::string &reason);

} // namespace plexord::wire

#endif
