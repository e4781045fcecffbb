// Core events through the bridge to the delegates on the user-interface
// thread, with the real core's event thread posting them.
#include "eventbridge.h"
#include "support.h"

#include <gtest/gtest.h>

#include <thread>

#include <wx/timer.h>
#include <vector>

namespace {

struct Seen
{
    int type;
    double value;
    bool onUiThread;
};

class BridgeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bridge.onEvent.Subscribe(everyEvent);
        bridge.onReadRequest.Subscribe(readRequest);
        bridge.onClientConnected.Subscribe(connected);
        bridge.onClientDisconnected.Subscribe(disconnected);
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        device = test::AddDevice(network, "Boiler", "boiler");
        ASSERT_TRUE(test::WaitFor([&] { return Count(NCEVENT_DEVICE_ADDED) == 1; }));
        seen.clear();
    }
    void TearDown() override
    {
        core.Finish();
        bridge.onEvent.Remove(everyEvent);
        bridge.onReadRequest.Remove(readRequest);
        bridge.onClientConnected.Remove(connected);
        bridge.onClientDisconnected.Remove(disconnected);
    }

    void OnEvent(wxNCEvent& event)
    {
        seen.push_back({event.GetCoreType(), event.GetValue(), std::this_thread::get_id() == uiThread});
    }
    void OnReadRequest(wxNCEvent&) { ++readRequests; }
    void OnConnected(unsigned long id) { connectedIds.push_back(id); }
    void OnDisconnected(unsigned long id) { disconnectedIds.push_back(id); }

    int Count(int type) const
    {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.type == type; }));
    }
    int IoCount() const
    {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [](const Seen& s) {
            return s.type >= NCEVENT_READ_REQUEST && s.type <= NCEVENT_WRITE_RESULT;
        }));
    }
    void Throw(int type, double value, ncerr_t result = test::kOk)
    {
        ncevent_throw_io_event(type, network, device, 0, "PV", "", value, result);
    }

    const std::thread::id uiThread = std::this_thread::get_id();
    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    uint16_t network = 0;
    uint16_t device = 0;
    std::vector<Seen> seen;
    int readRequests = 0;
    std::vector<unsigned long> connectedIds, disconnectedIds;
    Listener<BridgeTest, wxNCEvent&> everyEvent{this, &BridgeTest::OnEvent};
    Listener<BridgeTest, wxNCEvent&> readRequest{this, &BridgeTest::OnReadRequest};
    Listener<BridgeTest, unsigned long> connected{this, &BridgeTest::OnConnected};
    Listener<BridgeTest, unsigned long> disconnected{this, &BridgeTest::OnDisconnected};
};

TEST_F(BridgeTest, EventsFromOtherThreadsArriveInOrderOnTheUiThread)
{
    constexpr int kEvents = 400;
    std::thread producer([&] {
        for (int i = 0; i < kEvents; ++i)
            Throw(NCEVENT_READ_REQUEST + i % 4, i);
    });
    ASSERT_TRUE(test::WaitFor([&] { return IoCount() == kEvents; }, 10000)) << IoCount();
    producer.join();

    int expected = 0;
    for (const Seen& s : seen) {
        if (s.type < NCEVENT_READ_REQUEST || s.type > NCEVENT_WRITE_RESULT)
            continue;
        EXPECT_EQ(s.value, expected);
        EXPECT_EQ(s.type, NCEVENT_READ_REQUEST + expected % 4);
        EXPECT_TRUE(s.onUiThread);
        ++expected;
    }
    EXPECT_EQ(readRequests, kEvents / 4);
}

TEST_F(BridgeTest, TimersRunWhileEventsKeepComing)
{
    // Each event dispatched brings the next one, so the queue never runs
    // dry; the main loop must still get its turn before the chain ends.
    struct Chain
    {
        int left = 200000;
        int atFirstTick = -1;
        void OnEvent(wxNCEvent&)
        {
            if (left > 0)
                test::Deliver(NCEVENT_CLIENT_EVENT, --left);
        }
    } chain;
    Listener<Chain, wxNCEvent&> next{&chain, &Chain::OnEvent};
    bridge.onEvent.Subscribe(next);
    wxTimer tick;
    tick.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (chain.atFirstTick < 0)
            chain.atFirstTick = chain.left;
    });
    tick.Start(5);
    test::Deliver(NCEVENT_CLIENT_EVENT, 0);
    const bool ended = test::WaitFor([&] { return chain.left == 0; }, 60000);
    tick.Stop();
    bridge.onEvent.Remove(next);
    ASSERT_TRUE(ended) << chain.left;
    EXPECT_GT(chain.atFirstTick, 0);
}

TEST_F(BridgeTest, NothingIsPostedOnceShuttingDown)
{
    bridge.SetShuttingDown();
    for (int i = 0; i < 20; ++i)
        Throw(NCEVENT_WRITE_RESULT, i);
    test::Deliver(NCEVENT_CLIENT_CONNECTED, 5);
    // Stopping delivers what the core still had queued.
    plexord_stop();
    test::Pump(200);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(bridge.GetClientCount(), 0);
}

TEST_F(BridgeTest, FailedResultsPrintTheirErrorAndLogLinesArePrinted)
{
    test::CapturedFile out, err;
    bridge.SetOutput(out.get(), err.get());
    Throw(NCEVENT_READ_RESULT, 1, test::kOk);
    Throw(NCEVENT_READ_RESULT, 2, test::kTimeout);
    test::Deliver(NCEVENT_LOG, 0, 0, 0, test::kOk, " ! Line broken");
    test::Deliver(NCEVENT_LOG, 0, 0, 0, test::kOk, "plain");
    // The log lines take a shorter way than the results thrown through the core.
    ASSERT_TRUE(test::WaitFor([&] { return Count(NCEVENT_LOG) == 2 && Count(NCEVENT_READ_RESULT) == 2; }));
    bridge.SetOutput(stdout, stderr);

    EXPECT_EQ(err.text(), "Error: Time-out\n");
    // Standard output is no terminal here: the colours add nothing.
    EXPECT_EQ(out.text(), " ! Line broken\n   plain\n");
}

TEST_F(BridgeTest, ClientEventsCountAndANullEventPostsNothing)
{
    EventBridge::CoreCallback(nullptr);
    test::Deliver(NCEVENT_CLIENT_CONNECTED, 5);
    test::Deliver(NCEVENT_CLIENT_CONNECTED, 6);
    test::Deliver(NCEVENT_CLIENT_DISCONNECTED, 5);
    ASSERT_TRUE(test::WaitFor([&] { return disconnectedIds.size() == 1; }));
    test::Pump(50);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(connectedIds, (std::vector<unsigned long>{5, 6}));
    EXPECT_EQ(disconnectedIds, (std::vector<unsigned long>{5}));
    EXPECT_EQ(bridge.GetClientCount(), 1);
}

} // namespace
