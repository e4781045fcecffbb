// The link rules every serial network type inherits, with a link whose
// opening, presence and batches the test scripts.
#include "serial_network.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Log {
    std::vector<std::string> lines;
    static void add(void *ctx, const char *line) { static_cast<Log *>(ctx)->lines.emplace_back(line); }
};

class ScriptedNet : public serialnet::Network {
public:
    explicit ScriptedNet(const pxp_host_t *host) : Network(host, "test") {}

    std::vector<int> open_results; // one per try; 0 opens
    bool up = false;
    bool cut_in_batch = false;
    int opens = 0, closes = 0, batches = 0;

protected:
    int open_link(std::string &why) override
    {
        const int st = opens < static_cast<int>(open_results.size()) ? open_results[opens] : 0;
        ++opens;
        up = st == 0;
        why = "Failed to open port: Error 2: No such file or directory";
        return st;
    }
    void close_link() override
    {
        ++closes;
        up = false;
    }
    bool link_up() const override { return up; }
    void abort_transport() override {}
    void clear_abort() override {}
    void run_batch(pxp_request_t *r, int count) override
    {
        ++batches;
        if (cut_in_batch)
            abort();
        for (int i = 0; i < count; ++i) {
            r[i].result = i == 0 ? PXP_OK : PXP_FAIL_TIMEOUT;
            r[i].status = i == 0 ? 0 : 11;
        }
    }
};

TEST(SerialNetwork, OpensOnTheWorkerLogsOutagesOnceAndReopensAVanishedPort)
{
    Log log;
    pxp_host_t host{"/tmp", "/tmp", Log::add, &log};
    ScriptedNet net(&host);
    pxp_request_t r[2]{};

    // Parameters: the port is the base's, anything else is refused.
    const char *port = nullptr;
    EXPECT_EQ(net.get_text("port", &port), 0);
    EXPECT_STREQ(port, "COM1");
    EXPECT_EQ(net.set_text("port", ""), serialnet::ST_NO_PORT_NAME);
    EXPECT_EQ(net.set_text("port", "ttyUSB3"), 0);
    EXPECT_EQ(net.set_integer("speed", 9600), serialnet::ST_UNKNOWN_PARAM);

    // Start opens nothing; the port cannot be opened twice, logged once.
    net.open_results = {1, 1, 0};
    EXPECT_EQ(net.start(), 0);
    EXPECT_EQ(net.opens, 0);
    net.connect_now();
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_FAIL_IO);
    EXPECT_EQ(r[1].status, 1);
    EXPECT_EQ(net.batches, 0);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], " ! test: no link to ttyUSB3 (Failed to open port: Error 2: No such file or "
                            "directory); tried again at every request");

    // The third try opens it; each request keeps its own result.
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_OK);
    EXPECT_EQ(r[1].result, PXP_FAIL_TIMEOUT);
    EXPECT_EQ(r[1].status, 11);
    EXPECT_EQ(log.lines.back(), " * test: link restored to ttyUSB3");

    // Vanished while idle: reopened before the batch, which goes through.
    net.up = false;
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_OK);
    EXPECT_EQ(net.opens, 4);
    EXPECT_EQ(log.lines[log.lines.size() - 2], " ! test: link to ttyUSB3 lost (the port is gone)");

    // A stop in the middle of a batch: the port is closed quietly, what did
    // not finish is reported as cut, and later batches fail at once.
    const size_t logged = log.lines.size();
    net.cut_in_batch = true;
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_OK);
    EXPECT_EQ(r[1].result, PXP_FAIL_ABORTED);
    EXPECT_EQ(r[1].status, serialnet::ST_ABORTED);
    EXPECT_FALSE(net.up);
    const int batches = net.batches;
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_FAIL_ABORTED);
    EXPECT_EQ(net.batches, batches);
    EXPECT_EQ(log.lines.size(), logged);
    net.stop();

    // A new start clears the cut and opens afresh.
    net.cut_in_batch = false;
    EXPECT_EQ(net.start(), 0);
    EXPECT_EQ(net.perform(r, 2), 0);
    EXPECT_EQ(r[0].result, PXP_OK);
    EXPECT_EQ(log.lines.back(), " * test: connected to ttyUSB3");
}

TEST(SerialNetwork, DeviceAddressesAreWholeDecimalNumbersInRange)
{
    const struct {
        const char *text;
        bool ok;
        int node;
    } cases[] = {{"0", true, 0}, {"89", true, 89}, {"90", false, 0}, {"-1", false, 0}, {"", false, 0},
                 {nullptr, false, 0}, {"7 ", false, 0}, {" 7", false, 0}, {"0x10", false, 0},
                 {"99999999999", false, 0}};
    for (const auto &c : cases) {
        int node = -5;
        EXPECT_EQ(serialnet::parse_node(c.text, 0, 89, node), c.ok) << (c.text ? c.text : "(null)");
        EXPECT_EQ(node, c.ok ? c.node : -5) << "a refused address leaves the node alone";
    }
    for (int st = serialnet::ST_ABORTED; st <= serialnet::ST_NOT_DONE; ++st)
        EXPECT_NE(serialnet::base_status_text(st), nullptr) << st;
    EXPECT_EQ(serialnet::base_status_text(11), nullptr);
}

} // namespace
