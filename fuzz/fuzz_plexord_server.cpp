// The core's side of the remote-client exchange, fed with arbitrary client
// bytes: logins, device lists, client information and flushes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "server_proto.h"

using namespace plexord::wire;

namespace {

class MemStream : public Stream {
public:
    MemStream(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool read(void *buf, size_t n) override
    {
        if (n > size_ - pos_)
            return false;
        std::memcpy(buf, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    bool write(const void *, size_t n) override
    {
        written_ += n;
        return written_ < (1u << 24);
    }
    bool wait_exchange() override { return pos_ < size_; }

private:
    const uint8_t *data_;
    size_t size_, pos_ = 0, written_ = 0;
};

class FakeBackend : public Backend {
public:
    bool login(const std::string &user, const std::string &password) override
    {
        check(user);
        check(password);
        return user == "op" && password == "pw";
    }
    bool challenge_begin(std::string &path) override
    {
        path = "/run/challenge/secret";
        return true;
    }
    bool challenge_end(const std::string &answer) override
    {
        if (answer.size() >= kMaxChallengeAnswer)
            __builtin_trap();
        return answer == "secret";
    }
    std::vector<DeviceEntry> devices() override
    {
        return {{1, 0, "Boiler", "Hall", "TC-200"}, {2, 0, std::string(400, 'x'), "", ""}};
    }
    void set_description(const std::string &text) override { check(text); }
    void perform(std::vector<Run> &runs, bool) override
    {
        size_t total = 0;
        for (Run &r : runs)
            for (Item &it : r.items) {
                check(it.name);
                check(it.qualifier);
                if ((it.type != 'I' && it.type != 'F' && it.type != 'S') || (it.op != OP_READ && it.op != OP_WRITE) ||
                    it.length < 0 || it.length > kMaxBuffer)
                    __builtin_trap();
                it.status = static_cast<uint8_t>(total % 5);
                it.has_value = it.status == ST_OK;
                it.value = total * 1e9;
                ++total;
            }
        if (total > kMaxItems)
            __builtin_trap();
    }

private:
    // Every text a client sends is bounded and holds no NUL.
    static void check(const std::string &s)
    {
        if (s.size() >= kMaxString || s.find('\0') != std::string::npos)
            __builtin_trap();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemStream s(data, size);
    FakeBackend b;
    std::string reason;
    End e = run_session(s, b, reason);
    if (e != End::Closed && reason.empty())
        __builtin_trap(); // every abnormal end says why
    return 0;
}
