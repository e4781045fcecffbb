#include "buslink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<const cl_packet_t *> packets(const cl_stats_t &stats)
{
    std::vector<const cl_packet_t *> list;
    for (const cl_packet_t *p = stats.packets; p; p = p->next)
        list.push_back(p);
    return list;
}

std::string printed(const cl_stats_t *stats)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    cl_stats_print(stats, stream);
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Starts from garbage, as a caller's stack record would.
cl_stats_t fresh(int print)
{
    cl_stats_t stats;
    std::memset(&stats, 0xA5, sizeof stats);
    cl_stats_init(&stats, print);
    return stats;
}

} // namespace

TEST(buslink_stats, InitAndCounters)
{
    cl_stats_t stats = fresh(0);
    EXPECT_EQ(stats.out_packets, 0u);
    EXPECT_EQ(stats.in_packets, 0u);
    EXPECT_EQ(stats.out_bytes, 0u);
    EXPECT_EQ(stats.in_bytes, 0u);
    EXPECT_EQ(stats.print, 0);
    EXPECT_EQ(stats.collect, 0);
    EXPECT_EQ(stats.packets, nullptr);

    const unsigned char frame[] = {1, 2, 3, 4, 5};
    cl_stats_register_outgoing(&stats, 5, frame);
    cl_stats_register_outgoing(&stats, 3, frame);
    cl_stats_register_incoming(&stats, 4, frame);
    cl_stats_register_incoming_c2(&stats, 2, frame, 3, frame);
    EXPECT_EQ(stats.out_packets, 2u);
    EXPECT_EQ(stats.out_bytes, 8u);
    EXPECT_EQ(stats.in_packets, 2u);
    EXPECT_EQ(stats.in_bytes, 9u);
    EXPECT_EQ(stats.packets, nullptr) << "nothing kept unless collecting";

    EXPECT_EQ(printed(&stats), "Outgoing: 2 packets (8 bytes)\nIncoming: 2 packets (9 bytes)\n");
    EXPECT_EQ(printed(nullptr), "");
}

TEST(buslink_stats, CollectsInArrivalOrderAndJoinsTwoPieces)
{
    cl_stats_t stats = fresh(0);
    cl_stats_collect_packets(&stats, 1);
    const unsigned char out[] = {0x01, 0x03, 0x00};
    const unsigned char head[] = {'h', 'e', 'a', 'd', 'e', 'r'};
    const unsigned char body[] = {'b', 'o', 'd', 'y'};
    cl_stats_register_outgoing(&stats, sizeof out, out);
    cl_stats_register_incoming_c2(&stats, sizeof head, head, sizeof body, body);
    cl_stats_register_incoming(&stats, 0, nullptr);

    EXPECT_EQ(stats.in_packets, 2u);
    EXPECT_EQ(stats.in_bytes, 10u);
    const auto list = packets(stats);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->direction, CL_PACKET_OUTGOING);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], out, sizeof out), 1);
    EXPECT_EQ(list[1]->direction, CL_PACKET_INCOMING);
    EXPECT_EQ(list[1]->length, 10u);
    EXPECT_EQ(cl_stats_packet_cmp(list[1], "headerbody", 10), 1);
    EXPECT_EQ(list[1]->data[10], 0) << "kept one byte longer, terminated";
    EXPECT_EQ(list[2]->length, 0u);

    // Clearing frees the records (checked by the leak sanitizer) and keeps counters.
    cl_stats_clear_packets(&stats);
    EXPECT_EQ(stats.packets, nullptr);
    EXPECT_EQ(stats.out_packets, 1u);
    EXPECT_EQ(stats.in_bytes, 10u);
    cl_stats_clear_packets(&stats);

    cl_stats_register_incoming(&stats, 2, "xy");
    ASSERT_EQ(packets(stats).size(), 1u);
    cl_stats_finalize(&stats);
    EXPECT_EQ(stats.packets, nullptr);

    cl_stats_collect_packets(&stats, 0);
    cl_stats_register_incoming(&stats, 2, "xy");
    EXPECT_EQ(stats.packets, nullptr);
}

TEST(buslink_stats, NullRecordsAreHarmless)
{
    cl_stats_init(nullptr, 1);
    cl_stats_collect_packets(nullptr, 1);
    cl_stats_register_outgoing(nullptr, 3, "abc");
    cl_stats_register_incoming(nullptr, 3, "abc");
    cl_stats_register_incoming_c2(nullptr, 1, "a", 1, "b");
    cl_stats_clear_packets(nullptr);
    cl_stats_finalize(nullptr);
    cl_stats_packet_print(nullptr);

    // A length without bytes is counted but nothing is read from null.
    cl_stats_t stats = fresh(1);
    cl_stats_collect_packets(&stats, 1);
    testing::internal::CaptureStdout();
    cl_stats_register_incoming(&stats, 7, nullptr);
    cl_stats_register_incoming_c2(&stats, 2, "ab", 5, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stats.in_bytes, 14u);
    const auto list = packets(stats);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->length, 0u);
    EXPECT_EQ(cl_stats_packet_cmp(list[1], "ab", 2), 1);
    cl_stats_finalize(&stats);
}

TEST(buslink_stats, PrintFlagDumpsEveryPacket)
{
    cl_stats_t stats = fresh(1);
    testing::internal::CaptureStdout();
    cl_stats_register_outgoing(&stats, 3, "\x01\x03\x7F");
    cl_stats_register_incoming(&stats, 2, "OK");
    cl_stats_register_incoming_c2(&stats, 2, "ab", 9, "cdefghijk");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ">\n"
              "  ..\x7F       01 03 7F \n"
              "<\n"
              "  OK        4F 4B \n"
              "<\n"
              "  ab        61 62 \n"
              "  cdefghij  63 64 65 66 67 68 69 6A \n"
              "  k         6B \n");
}

TEST(buslink_stats, PacketPrint)
{
    cl_stats_t stats = fresh(0);
    cl_stats_collect_packets(&stats, 1);
    cl_stats_register_outgoing(&stats, 1, "A");
    cl_stats_register_incoming(&stats, 1, "B");
    const auto list = packets(stats);
    ASSERT_EQ(list.size(), 2u);
    testing::internal::CaptureStdout();
    cl_stats_packet_print(list[0]);
    cl_stats_packet_print(list[1]);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">\n  A         41 \n<\n  B         42 \n");
    cl_stats_finalize(&stats);
}

TEST(buslink_stats, PacketCompareIsEquality)
{
    EXPECT_EQ(cl_stats_packet_cmp(nullptr, nullptr, 0), 1);
    EXPECT_EQ(cl_stats_packet_cmp(nullptr, "abc", 0), 1);
    EXPECT_EQ(cl_stats_packet_cmp(nullptr, nullptr, 3), 1);
    EXPECT_EQ(cl_stats_packet_cmp(nullptr, "abc", 3), 0);

    cl_stats_t stats = fresh(0);
    cl_stats_collect_packets(&stats, 1);
    cl_stats_register_incoming(&stats, 3, "abc");
    cl_stats_register_incoming(&stats, 0, "");
    const auto list = packets(stats);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], "abc", 3), 1);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], "abc", 2), 0);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], "abd", 3), 0);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], "abcd", 4), 0);
    EXPECT_EQ(cl_stats_packet_cmp(list[0], nullptr, 3), 0);
    EXPECT_EQ(cl_stats_packet_cmp(list[1], "", 0), 1) << "two empty packets match";
    EXPECT_EQ(cl_stats_packet_cmp(list[1], nullptr, 0), 1);
    cl_stats_finalize(&stats);
}
