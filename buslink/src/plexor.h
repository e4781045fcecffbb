// Remote-server client: the records and the exchanges, written over a byte
// channel so that tests and fuzzers can drive the readers without a socket.
#pragma once

#include "buslink.h"

#include "basekit.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct plexor_device {
    uint16_t id = 0;
    std::optional<std::string> name;
    std::optional<std::string> description;
    std::string hardware;
    unsigned char type = 0;
    // Links of the owning client's list; null for a record of its own.
    plexor_device *prev = nullptr;
    plexor_device *next = nullptr;
};

namespace buslink::plexor {

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr unsigned char ETX = 0x03;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char ETB = 0x17;

constexpr unsigned char CMD_FLUSH = 1;
constexpr unsigned char CMD_DEVICELIST = 2;
constexpr unsigned char CMD_CLIENT_INFO = 3;
constexpr unsigned char CMD_FLUSH_PRIO = 8;

constexpr unsigned char OP_READ = 1;
constexpr unsigned char OP_WRITE = 2;

// Longest strings the peer may send, terminator included.
constexpr std::size_t answer_string_max = 256;
constexpr std::size_t device_string_max = 256;
constexpr std::size_t challenge_path_max = 1024;
constexpr std::size_t challenge_content_max = 1023;

// Doubly linked, in the server's order; owns its records.
class DeviceList {
public:
    DeviceList() = default;
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    ~DeviceList() { clear(); }

    void clear();
    void append(plexor_device *d);
    // Identifier of the device with that exact name, moved to the front;
    // 0 when there is none.
    uint16_t lookup(const char *name);
    plexor_device *first() const { return head_; }
    plexor_device *nth(int index) const;
    int count() const { return count_; }

private:
    plexor_device *head_ = nullptr;
    plexor_device *tail_ = nullptr;
    int count_ = 0;
};

struct Request {
    uint16_t device = 0;
    std::string name;
    std::string qualifier;
    char type = 'I'; // 'I', 'F' or 'S'
    unsigned char operation = OP_READ;
    double float_value = 0.0;
    int32_t int_value = 0;
    std::optional<std::vector<unsigned char>> buffer;
    int32_t length = -1; // size wanted or sent; -1 when not a buffer request
    int status = 1;      // 1 until the server answers
};

// One exchange's bytes: output is gathered and sent before the next read,
// so that a run goes out in one piece. Results are status codes.
class Channel {
public:
    virtual ~Channel() = default;

    void put(const void *data, std::size_t length);
    void put_byte(unsigned char b) { put(&b, 1); }
    void put_u16(uint16_t v);
    void put_u32(uint32_t v);
    // A null string goes as a single NUL.
    void put_string(const char *s);
    void put_string(const std::string &s) { put(s.c_str(), s.size() + 1); }

    // 0, or 2 when the pending output could not be sent.
    int push();
    // Sends what is pending, then reads exactly length bytes: 0, 2 or 3.
    int get(void *data, std::size_t length);
    int get_byte(unsigned char &b) { return get(&b, 1); }
    int get_u16(uint16_t &v);
    int get_u32(uint32_t &v);
    // A NUL-terminated string of at most max bytes with the terminator; a
    // longer one gives 3 and the channel is dropped (the rest is unread).
    int get_string(std::string &s, std::size_t max);

    // The stream is out of step with the peer: nothing more can be read.
    virtual void drop() {}

protected:
    virtual int write(const unsigned char *data, std::size_t length) = 0;
    virtual int read(unsigned char *data, std::size_t length) = 0;

private:
    std::vector<unsigned char> out_;
};

// Reads from a byte array (the end is a failed read); writes are kept.
class MemoryChannel : public Channel {
public:
    MemoryChannel(const unsigned char *data, std::size_t size) : data_(data), size_(size) {}
    std::vector<unsigned char> written;
    bool dropped = false;
    void drop() override { dropped = true; }

protected:
    int write(const unsigned char *data, std::size_t length) override;
    int read(unsigned char *data, std::size_t length) override;

private:
    const unsigned char *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Where the exchanges' protocol warnings go (stderr; null for none).
extern FILE *warning_stream;

// The exchanges, from the header on; each returns a status code.
int exchange_devicelist(Channel &ch, DeviceList &devices);
int exchange_flush(Channel &ch, std::vector<Request> &requests, unsigned char command);
int exchange_client_info(Channel &ch, const char *text);

} // namespace buslink::plexor
