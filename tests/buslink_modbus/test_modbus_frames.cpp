// Byte-level MODBUS helpers: RTU framing and timing, the MBAP check, XBee
// API frames, and the address notation.
#include "modbus_rtu.h"
#include "modbus_tcp.h"
#include "modbus_xbee.h"
#include "support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace mb = buslink::modbus;
using mbtest::B;
using mbtest::Bytes;

namespace {

const unsigned char *u(const Bytes &b)
{
    return reinterpret_cast<const unsigned char *>(b.data());
}

int check_rtu(const Bytes &frame, unsigned char slave, Bytes *message = nullptr)
{
    std::size_t n = 0;
    const int rc = mb::rtu_check_frame(u(frame), frame.size(), slave, n);
    if (rc == 0 && message)
        *message = frame.substr(1, n);
    return rc;
}

int check_mbap(const Bytes &frame, uint16_t tid, uint8_t unit)
{
    const mb::MbapHeader h = mb::mbap_parse_header(u(frame));
    return mb::mbap_check_response(h, u(frame) + 7, frame.size() - 7, tid, unit);
}

// Feeds the bytes in pieces of `step` and collects what the receiver makes of them.
std::vector<std::pair<mb::XbeeReceiver::Event, Bytes>> receive(const Bytes &stream, std::size_t step)
{
    mb::XbeeReceiver rx;
    std::vector<std::pair<mb::XbeeReceiver::Event, Bytes>> events;
    for (std::size_t i = 0; i < stream.size(); i += step) {
        rx.push(u(stream) + i, std::min(step, stream.size() - i));
        for (auto e = rx.next(); e != mb::XbeeReceiver::Event::need_more; e = rx.next())
            events.emplace_back(e, e == mb::XbeeReceiver::Event::frame
                                       ? Bytes(reinterpret_cast<const char *>(rx.frame()), rx.frame_length())
                                       : Bytes());
    }
    return events;
}

Bytes encode(const Bytes &data)
{
    std::vector<unsigned char> out;
    EXPECT_TRUE(mb::xbee_encode_frame(u(data), data.size(), out));
    return Bytes(out.begin(), out.end());
}

} // namespace

TEST(modbus_frames, CrcMatchesAnIndependentBitwiseCrc)
{
    const Bytes request("\x01\x03\x00\x00\x00\x01", 6);
    unsigned char frame[16];
    ASSERT_EQ(mb::rtu_build_frame(1, u(request) + 1, 5, frame), 8u);
    EXPECT_EQ(frame[6], 0x84);
    EXPECT_EQ(frame[7], 0x0A);

    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes data(random() % 300, '\0');
        for (char &c : data)
            c = static_cast<char>(random());
        ASSERT_EQ(mb::crc16(u(data), data.size()), mbtest::crc16(data));
    }
}

TEST(modbus_frames, RtuTimingFollowsTheLineSettings)
{
    EXPECT_EQ(mb::rtu_silence_us(9600, CL_DATABITS_8, CL_STOPBITS_ONE), 18230);
    EXPECT_EQ(mb::rtu_char_timeout_ms(18230, 10), 19);
    EXPECT_EQ(mb::rtu_silence_us(38400, CL_DATABITS_8, CL_STOPBITS_ONE), 4558);
    EXPECT_EQ(mb::rtu_char_timeout_ms(4558, 10), 10);
    // 1 + 7 + 2 bits is also ten; 1 + 8 + 2 is eleven.
    EXPECT_EQ(mb::rtu_silence_us(9600, CL_DATABITS_7, CL_STOPBITS_TWO), 18230);
    EXPECT_EQ(mb::rtu_silence_us(1200, CL_DATABITS_8, CL_STOPBITS_TWO), 160417);
    EXPECT_EQ(mb::rtu_char_timeout_ms(160417, 10), 161);
    EXPECT_EQ(mb::rtu_char_timeout_ms(0, 0), 1);
}

TEST(modbus_frames, RtuResponseChecksRunInOrder)
{
    Bytes message;
    EXPECT_EQ(check_rtu("", 1), BUSLINK_E_NO_RESPONSE);
    EXPECT_EQ(check_rtu(mbtest::rtu(1, "").substr(0, 3), 1), BUSLINK_E_SHORT_RESPONSE);
    EXPECT_EQ(check_rtu(mbtest::rtu(1, "\x07"), 1, &message), 0);
    EXPECT_EQ(message, "\x07");
    EXPECT_EQ(check_rtu(mbtest::rtu(1, Bytes("\x03\x02\x12\x34", 4)), 1, &message), 0);
    EXPECT_EQ(message, Bytes("\x03\x02\x12\x34", 4));

    Bytes bad = mbtest::rtu(1, "\x03\x02\x12\x34");
    bad[3] ^= 1;
    EXPECT_EQ(check_rtu(bad, 1), BUSLINK_E_CHECKSUM);
    // The CRC is checked before the address.
    bad = mbtest::rtu(2, "\x03\x00");
    bad.back() ^= 0x40;
    EXPECT_EQ(check_rtu(bad, 1), BUSLINK_E_CHECKSUM);
    EXPECT_EQ(check_rtu(mbtest::rtu(2, Bytes("\x03\x00", 2)), 1), BUSLINK_E_UNEXPECTED_NODE);

    const std::pair<int, int> exceptions[] = {{1, 221}, {2, 222}, {3, 223}, {4, 224}, {5, 225}, {6, 226},
                                              {7, 220}, {8, 227}, {9, 220}, {10, 228}, {11, 229}, {0, 220}};
    for (const auto &[code, status] : exceptions)
        EXPECT_EQ(check_rtu(mbtest::rtu(1, Bytes{'\x83', static_cast<char>(code)}), 1), status) << code;
    // Without its code byte an exception cannot be told apart from noise.
    EXPECT_EQ(check_rtu(mbtest::rtu(1, "\x83"), 1), BUSLINK_E_SHORT_RESPONSE);
}

TEST(modbus_frames, MbapChecksRunInOrder)
{
    unsigned char frame[16];
    const Bytes pdu("\x03\x00\x01\x00\x02", 5);
    ASSERT_EQ(mb::mbap_build_frame(0x1234, 9, u(pdu), pdu.size(), frame), 12u);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(frame), 12), mbtest::mbap(0x1234, 0, 9, pdu));

    const Bytes answer("\x03\x02\x00\x2A", 4);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 0, 9, answer), 5, 9), 0);
    // A missing byte is reported before anything else is looked at.
    EXPECT_EQ(check_mbap(mbtest::mbap(6, 1, 8, answer).substr(0, 10), 5, 9), BUSLINK_E_SHORT_RESPONSE);
    EXPECT_EQ(check_mbap(mbtest::mbap(6, 1, 8, answer), 5, 9), BUSLINK_E_UNEXPECTED_TID);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 1, 9, answer), 5, 9), BUSLINK_E_NON_MODBUS_FRAME);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 1, 8, answer), 5, 9), BUSLINK_E_NON_MODBUS_FRAME);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 0, 8, answer), 5, 9), BUSLINK_E_UNEXPECTED_NODE);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 0, 9, "\x83\x02"), 5, 9), BUSLINK_E_EX_ILLEGAL_ADDRESS);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 0, 9, "\x83"), 5, 9), BUSLINK_E_SHORT_RESPONSE);
    EXPECT_EQ(check_mbap(mbtest::mbap(5, 0, 9, ""), 5, 9), BUSLINK_E_SHORT_RESPONSE);
    // A length field of 0 announces no unit byte and no message.
    EXPECT_EQ(check_mbap(mbtest::be16(5) + mbtest::be16(0) + mbtest::be16(0) + "\x09", 5, 9),
              BUSLINK_E_SHORT_RESPONSE);
    // More than the message buffer holds: not kept, not taken.
    const Bytes huge = mbtest::mbap(5, 0, 9, Bytes(400, '\x03'));
    const mb::MbapHeader h = mb::mbap_parse_header(u(huge));
    EXPECT_EQ(mb::mbap_check_response(h, u(huge) + 7, huge.size() - 7, 5, 9), BUSLINK_E_INVALID_RESPONSE);
}

TEST(modbus_frames, XbeeFramesAreEscapedAndReadBackInAnyPieces)
{
    EXPECT_EQ(encode("\x7E"), Bytes("\x7E\x00\x01\x7D\x5E\x81", 6));
    // Length 0x11 and a checksum of 0x13 are escaped too.
    Bytes data(0x11, '\0');
    data[0] = '\x7D';
    data[1] = '\x6F';
    const Bytes wire = encode(data);
    EXPECT_EQ(wire.substr(0, 5), Bytes("\x7E\x00\x7D\x31\x7D", 5));
    EXPECT_EQ(wire.substr(5, 1), "\x5D");
    EXPECT_EQ(wire.substr(wire.size() - 2), "\x7D\x33");

    Bytes every;
    for (int i = 0; i < 256; ++i)
        every.push_back(static_cast<char>(i));
    const Bytes stream = "junk\x7D" + encode(every) + encode(B("\x88\x01" "AP\x00\x02")) + encode("");
    for (std::size_t step : {std::size_t(1), std::size_t(3), stream.size()}) {
        const auto events = receive(stream, step);
        ASSERT_EQ(events.size(), 3u) << step;
        EXPECT_EQ(events[0].second, every);
        EXPECT_EQ(events[1].second, Bytes("\x88\x01" "AP\x00\x02", 6));
        EXPECT_EQ(events[2].first, mb::XbeeReceiver::Event::frame);
        EXPECT_EQ(events[2].second, "");
    }
}

TEST(modbus_frames, XbeeReceiverReportsBadFramesAndStaysInStep)
{
    Bytes bad = encode("\x90hello");
    bad[bad.size() - 1] ^= 1;
    // A frame cut short by a new start byte is dropped without a word.
    const Bytes cut = encode(B("\x89\x01\x00")).substr(0, 4);
    const Bytes big = "\x7E\x02\x01" + Bytes(513, 'x') + "?";
    const Bytes stream = bad + cut + encode(B("\x89\x05\x00")) + big + encode("\x8A\x06");
    const auto events = receive(stream, 7);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].first, mb::XbeeReceiver::Event::bad_checksum);
    EXPECT_EQ(events[1].second, Bytes("\x89\x05\x00", 3));
    EXPECT_EQ(events[2].first, mb::XbeeReceiver::Event::too_long);
    EXPECT_EQ(events[3].second, "\x8A\x06");

    mb::XbeeReceiver rx;
    const Bytes lots(5000, 'x');
    EXPECT_EQ(rx.push(u(lots), lots.size()), mb::XbeeReceiver::ring_capacity);
    EXPECT_EQ(rx.free_space(), 0u);
    EXPECT_EQ(rx.next(), mb::XbeeReceiver::Event::need_more);
    EXPECT_EQ(rx.free_space(), mb::XbeeReceiver::ring_capacity);
}

TEST(modbus_frames, XbeeFramesParseWithTheirAddresses)
{
    const Bytes rx64 = Bytes("\x80\x00\x13\xA2\x00\x40\x0A\x0B\x0C\x28\x00", 11) + "MB\x03";
    mb::XbeeReceive r;
    ASSERT_EQ(mb::xbee_parse_receive(u(rx64), rx64.size(), r), mb::XbeeParse::ok);
    EXPECT_EQ(r.link, 0x0013A200u);
    EXPECT_EQ(r.unit, 0x400A0B0Cu);
    EXPECT_EQ(Bytes(reinterpret_cast<const char *>(r.data), r.length), "MB\x03");

    const Bytes rx16("\x81\x12\x34\x28\x00MB", 7);
    ASSERT_EQ(mb::xbee_parse_receive(u(rx16), rx16.size(), r), mb::XbeeParse::ok);
    EXPECT_EQ(r.link, 0u);
    EXPECT_EQ(r.unit, 0x1234u);
    EXPECT_EQ(r.length, 2u);

    const Bytes rx2 = Bytes("\x90\x00\x00\x00\x01\x00\x00\x00\x02\xAB\xCD\x01", 12) + "MB";
    ASSERT_EQ(mb::xbee_parse_receive(u(rx2), rx2.size(), r), mb::XbeeParse::ok);
    EXPECT_EQ(r.link, 1u);
    EXPECT_EQ(r.unit, 2u);
    EXPECT_EQ(mb::xbee_parse_receive(u(rx2), 11, r), mb::XbeeParse::malformed);
    EXPECT_EQ(mb::xbee_parse_receive(u(rx16), 4, r), mb::XbeeParse::malformed);
    EXPECT_EQ(mb::xbee_parse_receive(u(Bytes("\x89\x01\x00", 3)), 3, r), mb::XbeeParse::not_receive);

    mb::XbeeTxStatus s;
    ASSERT_TRUE(mb::xbee_parse_tx_status(u(Bytes("\x89\x07\x01", 3)), 3, s));
    EXPECT_EQ(s.frame_id, 7);
    EXPECT_EQ(s.delivery, 1);
    ASSERT_TRUE(mb::xbee_parse_tx_status(u(Bytes("\x8B\x08\xFF\xFE\x00\x21\x00", 7)), 7, s));
    EXPECT_EQ(s.frame_id, 8);
    EXPECT_EQ(s.delivery, 0x21);
    EXPECT_FALSE(mb::xbee_parse_tx_status(u(Bytes("\x8B\x08\xFF\xFE\x00\x21", 6)), 6, s));

    mb::XbeeAtAnswer a;
    ASSERT_TRUE(mb::xbee_parse_at_answer(u(Bytes("\x88\x03HV\x00\x19\x44", 7)), 7, a));
    EXPECT_EQ(a.frame_id, 3);
    EXPECT_EQ(a.value_length, 2u);
    EXPECT_EQ(mb::xbee_series_from_hv(0x1944), 20);
    EXPECT_EQ(mb::xbee_series_from_hv(0x17FF), 10);
    EXPECT_EQ(mb::xbee_series_from_hv(0x1E00), 22);
    EXPECT_EQ(mb::xbee_series_from_hv(0x2000), 0);
    const std::pair<int, int> statuses[] = {{0, 0}, {1, 306}, {2, 307}, {3, 301}, {4, 308}, {5, 4}};
    for (const auto &[status, code] : statuses)
        EXPECT_EQ(mb::xbee_at_status(static_cast<unsigned>(status)), code);
}

TEST(modbus_frames, XbeeRequestsAddressTheNodeBySeries)
{
    const Bytes pdu("\x03\x00\x00\x00\x01", 5);
    std::vector<unsigned char> out;
    auto built = [&] { return Bytes(out.begin(), out.end()); };
    mb::xbee_build_request(10, true, 9, 0, 0x1234, u(pdu), pdu.size(), out);
    EXPECT_EQ(built(), Bytes("\x01\x09\x12\x34\x00MB", 7) + pdu);
    mb::xbee_build_request(10, false, 9, 0x0013A200, 0x40506070, u(pdu), pdu.size(), out);
    EXPECT_EQ(built(), Bytes("\x00\x09\x00\x13\xA2\x00\x40\x50\x60\x70\x00MB", 13) + pdu);
    mb::xbee_build_request(21, true, 9, 1, 2, u(pdu), pdu.size(), out);
    EXPECT_EQ(built(), Bytes("\x10\x09\x00\x00\x00\x01\x00\x00\x00\x02\xFF\xFE\x00\x00MB", 16) + pdu);
}

TEST(modbus_frames, AddressNotationDecodes)
{
    struct Case {
        const char *text;
        int kind;
        unsigned address;
    };
    const Case good[] = {{"3x1a2b", 3, 0x1A2B}, {"401234", 4, 1234}, {"40001", 3, 40001}, {"", 3, 0},
                         {"1XFFFF", 1, 0xFFFF}, {"2x0000", 2, 0},     {"165535", 1, 5535}, {"65535", 3, 65535},
                         {"0", 3, 0}};
    for (const Case &c : good) {
        int kind = -1;
        unsigned short address = 1;
        ASSERT_EQ(modbus_decode_address(c.text, &kind, &address), 0) << c.text;
        EXPECT_EQ(kind, c.kind) << c.text;
        EXPECT_EQ(address, c.address) << c.text;
    }
    for (const char *text : {"5x0000", "3x12g4", "1234567", "65536", "99999", "0x0001", "4a0001", "3x12 4",
                             "-1", "12a"}) {
        int kind = -1;
        unsigned short address = 7;
        EXPECT_EQ(modbus_decode_address(text, &kind, &address), BUSLINK_E_ILLEGAL_ITEM) << text;
        EXPECT_EQ(kind, -1) << text;
    }
    int kind = 0;
    unsigned short address = 0;
    EXPECT_EQ(modbus_decode_address(nullptr, &kind, &address), BUSLINK_E_ILLEGAL_ITEM);
}
