#include "xbee_module.h"

namespace mbtest {

namespace {

// Frame data of the next whole frame in the stream, unescaped.
bool take_frame(Bytes &in, Bytes &data)
{
    const std::size_t start = in.find('\x7E');
    if (start == Bytes::npos) {
        in.clear();
        return false;
    }
    Bytes plain;
    for (std::size_t i = start + 1; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0x7D) {
            if (++i == in.size())
                return false;
            c = static_cast<unsigned char>(in[i] ^ 0x20);
        }
        plain.push_back(static_cast<char>(c));
        if (plain.size() >= 2 && plain.size() == get_be(plain, 0, 2) + 3) {
            data = plain.substr(2, plain.size() - 3);
            in.erase(0, i + 1);
            return true;
        }
    }
    return false;
}

std::string hex(unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[c >> 4], digits[c & 15]};
}

} // namespace

XbeeModule::XbeeModule(const Pty &pty, Options options) : pty_(pty), options_(std::move(options))
{
    thread_ = std::thread([this] { run(); });
}

XbeeModule::~XbeeModule()
{
    stop_ = true;
    thread_.join();
}

std::vector<std::string> XbeeModule::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

Bytes XbeeModule::frame(const Bytes &data)
{
    Bytes body = be(data.size(), 2) + data;
    unsigned sum = 0;
    for (unsigned char c : data)
        sum += c;
    body.push_back(static_cast<char>(0xFF - (sum & 0xFF)));
    Bytes wire = "\x7E";
    for (unsigned char c : body) {
        if (c == 0x7E || c == 0x7D || c == 0x11 || c == 0x13) {
            wire.push_back('\x7D');
            wire.push_back(static_cast<char>(c ^ 0x20));
        } else {
            wire.push_back(static_cast<char>(c));
        }
    }
    return wire;
}

void XbeeModule::record(std::string text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(std::move(text));
}

void XbeeModule::run()
{
    Bytes in;
    while (!stop_) {
        const Bytes got = pty_.read_burst(20, 2);
        in += got;
        if (options_.api_mode == 0)
            transparent(in);
        Bytes data;
        while (options_.api_mode != 0 && take_frame(in, data))
            api(data);
    }
}

void XbeeModule::transparent(Bytes &in)
{
    if (!command_mode_) {
        const std::size_t at = in.find("+++");
        if (at == Bytes::npos)
            return;
        in.erase(0, at + 3);
        command_mode_ = true;
        record("+++");
        pty_.write("OK\r");
    }
    for (std::size_t eol; command_mode_ && (eol = in.find('\r')) != Bytes::npos;) {
        const std::string line = in.substr(0, eol);
        in.erase(0, eol + 1);
        record(line);
        if (line == "ATAP2")
            ap_ = 2;
        pty_.write("OK\r");
        if (line == "ATCN") {
            command_mode_ = false;
            options_.api_mode = ap_;
        }
    }
}

void XbeeModule::api(const Bytes &data)
{
    const unsigned char type = static_cast<unsigned char>(data[0]);
    const char id = data[1];
    if (type == 0x08) {
        const std::string command = data.substr(2, 2);
        const Bytes param = data.substr(4);
        Bytes value;
        if (command == "AP" && param.empty())
            value = Bytes(1, static_cast<char>(options_.api_mode));
        else if (command == "AP")
            options_.api_mode = param[0];
        else if (command == "HV")
            value = be(options_.hv, 2);
        std::string text = command;
        if (!param.empty())
            text += ":";
        for (unsigned char c : param)
            text += hex(c);
        record(text);
        pty_.write(frame(Bytes("\x88") + id + command + '\0' + value));
        return;
    }
    frame_ids.push_back(static_cast<unsigned char>(id));
    const bool series2 = type == 0x10;
    uint64_t to = 0;
    Bytes payload;
    if (type == 0x00) {
        to = get_be(data, 2, 8);
        payload = data.substr(11);
    } else if (type == 0x01) {
        to = get_be(data, 2, 2);
        payload = data.substr(5);
    } else {
        to = get_be(data, 2, 8);
        payload = data.substr(14);
    }
    pty_.write(frame(series2 ? Bytes("\x8B") + id + B("\xFF\xFE\x00") + static_cast<char>(options_.delivery) + '\0'
                             : Bytes("\x89") + id + static_cast<char>(options_.delivery)));
    if (!options_.answer || options_.delivery != 0 || !remotes.count(to) || payload.substr(0, 2) != "MB")
        return;
    const Bytes reply = "MB" + remotes[to].answer(payload.substr(2));
    Bytes answer;
    if (type == 0x00)
        answer = "\x80" + be(to, 8) + B("\x28\x00") + reply;
    else if (type == 0x01)
        answer = "\x81" + be(to, 2) + B("\x28\x00") + reply;
    else
        answer = "\x90" + be(to, 8) + B("\x12\x34\x01") + reply;
    Bytes wire = frame(answer);
    if (options_.corrupt_answer)
        wire[wire.size() - 1] ^= 0x01;
    pty_.write(options_.before_answer + wire);
}

} // namespace mbtest
