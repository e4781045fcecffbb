// The status window's and the event bridge's logic that needs no window.
#include "eventbridge.h"
#include "menus.h"
#include "status-window.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Lamp, RequestThenSuccessThenExpiry)
{
    Lamp lamp;
    Lamp::Change c = lamp.Show();
    EXPECT_TRUE(c.changed);
    EXPECT_TRUE(c.wasHidden);
    EXPECT_EQ(lamp.GetState(), LAMP_UNLIT);

    c = lamp.Request();
    EXPECT_EQ(lamp.GetState(), LAMP_PENDING);
    EXPECT_TRUE(c.changed);
    EXPECT_TRUE(c.stopTimer);
    EXPECT_FALSE(c.startTimer);
    EXPECT_FALSE(c.wasHidden);

    // A second request while pending changes nothing.
    EXPECT_FALSE(lamp.Request().changed);

    c = lamp.Result(true);
    EXPECT_EQ(lamp.GetState(), LAMP_SUCCEEDED);
    EXPECT_TRUE(c.startTimer);

    c = lamp.Expire();
    EXPECT_EQ(lamp.GetState(), LAMP_UNLIT);
    EXPECT_TRUE(c.changed);
    EXPECT_FALSE(c.startTimer);
    EXPECT_EQ(Lamp::kFlashMs, 650);
}

TEST(Lamp, RepeatedFailureKeepsTheTimer)
{
    Lamp lamp;
    lamp.Show();
    Lamp::Change c = lamp.Result(false);
    EXPECT_EQ(lamp.GetState(), LAMP_FAILED);
    EXPECT_TRUE(c.startTimer);

    c = lamp.Result(false);
    EXPECT_EQ(lamp.GetState(), LAMP_FAILED);
    EXPECT_FALSE(c.changed);
    EXPECT_FALSE(c.startTimer);
    EXPECT_FALSE(c.stopTimer);

    // A success after a failure is a new flash.
    c = lamp.Result(true);
    EXPECT_EQ(lamp.GetState(), LAMP_SUCCEEDED);
    EXPECT_TRUE(c.startTimer);
}

TEST(Lamp, ResultOnAHiddenLampShowsIt)
{
    Lamp lamp;
    const Lamp::Change c = lamp.Request();
    EXPECT_TRUE(c.wasHidden);
    EXPECT_FALSE(lamp.Show().changed);
}

TEST(StatusLogic, DetailsText)
{
    EXPECT_EQ(DeviceDetailsText("TC-200", 5, 1, 2, 0), "TC-200\nReadings: 5 (1 failed)\nWrites: 2 (0 failed)\n");
    // Without hardware the text starts with an empty line.
    EXPECT_EQ(DeviceDetailsText("", 0, 0, 0, 0), "\nReadings: 0 (0 failed)\nWrites: 0 (0 failed)\n");
}

TEST(StatusLogic, ImageTypeByExtension)
{
    EXPECT_EQ(ImageTypeForFile("a.png"), wxBITMAP_TYPE_PNG);
    EXPECT_EQ(ImageTypeForFile("a.JPG"), wxBITMAP_TYPE_JPEG);
    EXPECT_EQ(ImageTypeForFile("dir.x/a.Jpeg"), wxBITMAP_TYPE_JPEG);
    EXPECT_EQ(ImageTypeForFile("a.xpm"), wxBITMAP_TYPE_XPM);
    EXPECT_EQ(ImageTypeForFile("a.gif"), wxBITMAP_TYPE_PNG);
    EXPECT_EQ(ImageTypeForFile("noext"), wxBITMAP_TYPE_PNG);
}

TEST(Menus, SeparatorsOnlyBetweenItems)
{
    const MenuEntry sep{MenuEntry::kSeparator, {}, {}};
    auto ids = [](const std::vector<MenuEntry>& entries) {
        std::vector<int> out;
        for (const MenuEntry& e : entries)
            out.push_back(e.id);
        return out;
    };
    EXPECT_EQ(ids(PruneSeparators({sep, {4, "Remove", ""}})), (std::vector<int>{4}));
    EXPECT_EQ(ids(PruneSeparators({{1, "a", ""}, sep, sep, {2, "b", ""}, sep})), (std::vector<int>{1, -1, 2}));
    EXPECT_TRUE(PruneSeparators({sep, sep}).empty());
}

TEST(LogLines, ColouredByPrefix)
{
    using Pieces = std::vector<LogPiece>;
    const auto color = [](int fg, int bg) { return std::optional<std::pair<int, int>>(std::make_pair(fg, bg)); };

    EXPECT_EQ(ColorLogLine(" * Server core started"),
              (Pieces{{color(19, 9), " * "}, {color(18, 9), "Server core started"}, {color(9, 9), "\n"}}));
    EXPECT_EQ(ColorLogLine(" ! Failed"), (Pieces{{color(19, 9), " ! "}, {color(17, 9), "Failed"}, {color(9, 9), "\n"}}));
    EXPECT_EQ(ColorLogLine("Task 3: reading PV"), (Pieces{{std::nullopt, "   Task 3: reading PV\n"}}));
    EXPECT_EQ(ColorLogLine(""), (Pieces{{std::nullopt, "   \n"}}));
    EXPECT_EQ(ColorLogLine("  - indented"), (Pieces{{std::nullopt, "  - indented\n"}}));
    // Only the exact three-character markers colour a line.
    EXPECT_EQ(ColorLogLine(" *x"), (Pieces{{std::nullopt, " *x\n"}}));
}

ncevent_t MakeEvent(int type)
{
    ncevent_t e{};
    e.type = type;
    e.result = ncerr_t{1, 0};
    e.client_id = 77;
    e.device_id = 12;
    e.network_id = 3;
    e.item = const_cast<char*>("PV");
    e.flag = const_cast<char*>("F");
    e.value = 4.5;
    return e;
}

TEST(NCEvent, AccessorsFollowTheType)
{
    ncevent_t read = MakeEvent(NCEVENT_READ_RESULT);
    wxNCEvent event(&read);
    EXPECT_EQ(event.GetEventType(), wxEVT_NC_EVENT);
    EXPECT_EQ(event.GetId(), 0);
    EXPECT_EQ(event.GetNetworkId(), 3);
    EXPECT_EQ(event.GetClientId(), 77u);
    EXPECT_EQ(event.GetDeviceId(), 12);
    EXPECT_EQ(event.GetItem(), "PV");
    EXPECT_EQ(event.GetFlag(), "F");
    EXPECT_EQ(event.GetValue(), 4.5);
    EXPECT_TRUE(event.Succeeded());

    ncevent_t added = MakeEvent(NCEVENT_NETWORK_ADDED);
    wxNCEvent network(&added);
    EXPECT_EQ(network.GetNetworkId(), 3);
    EXPECT_EQ(network.GetClientId(), 0u);
    EXPECT_EQ(network.GetDeviceId(), 0);

    ncevent_t changed = MakeEvent(NCEVENT_DEVICE_CHANGED);
    EXPECT_EQ(wxNCEvent(&changed).GetDeviceId(), 12);
    EXPECT_EQ(wxNCEvent(&changed).GetClientId(), 0u);

    ncevent_t connected = MakeEvent(NCEVENT_CLIENT_CONNECTED);
    EXPECT_EQ(wxNCEvent(&connected).GetClientId(), 77u);
    EXPECT_EQ(wxNCEvent(&connected).GetDeviceId(), 0);
}

TEST(NCEvent, OwnsItsCopyAndClonesCopyAgain)
{
    char item[] = "SP1";
    ncevent_t e = MakeEvent(NCEVENT_WRITE_REQUEST);
    e.item = item;
    e.result = ncerr_t{NCERR_TIMEOUT, 0};
    wxNCEvent event(&e);
    std::strcpy(item, "XXX");
    EXPECT_EQ(event.GetItem(), "SP1");
    EXPECT_FALSE(event.Succeeded());

    std::unique_ptr<wxEvent> clone(event.Clone());
    auto* copy = dynamic_cast<wxNCEvent*>(clone.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->GetCoreEvent(), event.GetCoreEvent());
    EXPECT_EQ(copy->GetItem(), "SP1");
    EXPECT_EQ(copy->GetResult().code, NCERR_TIMEOUT);

    const wxNCEvent empty(nullptr);
    EXPECT_EQ(empty.GetCoreEvent(), nullptr);
    EXPECT_EQ(empty.GetCoreType(), 0);
    std::unique_ptr<wxEvent> emptyClone(empty.Clone());
    EXPECT_EQ(static_cast<wxNCEvent*>(emptyClone.get())->GetCoreEvent(), nullptr);
}

TEST(NCEventDeathTest, NetworkIdOfAnotherTypeEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ncevent_t e = MakeEvent(NCEVENT_DEVICE_ADDED);
    const wxNCEvent event(&e);
    EXPECT_DEATH(event.GetNetworkId(), "Network ID not available in event type 11\n");
}

} // namespace
