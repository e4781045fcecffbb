// Scheduled tasks run on the core's own thread and show as I/O events.
#include <gtest/gtest.h>

#include "support.h"

using namespace test;

namespace {

class PlexordSched : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(dir.file("sp.ini"), "[a]\nSRC=5\nFLAG:x=1\nSW=0\n[b]\n");
        session = std::make_unique<Session>(dir.path());
        net = add_db_network("Plant", "sp.ini");
        a = add_device(net, "A", "a");
        b = add_device(net, "B", "b");
    }

    sched_task_t *task(int type, long interval = 1)
    {
        sched_task_t *t = scheduler_task_new(type);
        scheduler_task_set_first_date_time(t, dt_now());
        scheduler_task_set_interval(t, interval);
        return t;
    }

    // Waits for a successful write of value to item, announced by the core.
    bool written(const std::string &item, double value, int ms = 4000)
    {
        return Recorder::get().wait(
            [&](const std::vector<Event> &ev) {
                for (const Event &e : ev)
                    if (e.type == NCEVENT_WRITE_RESULT && e.item == item && e.value == value && ok(e.result))
                        return true;
                return false;
            },
            ms);
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    uint16_t net = 0, a = 0, b = 0;
};

} // namespace

TEST_F(PlexordSched, CopyTaskCopiesAndIsAnnounced)
{
    sched_task_t *t = task(SCHED_TASK_COPY);
    scheduler_task_set_source_device(t, a);
    scheduler_task_set_source_item(t, "SRC");
    scheduler_task_set_target_device(t, b);
    scheduler_task_set_target_item(t, "DST");
    scheduler_task_set_target_flag(t, "f");
    ASSERT_TRUE(ok(scheduler_add_task(g_sched, t, 0)));
    ASSERT_TRUE(written("DST", 5));
    double v = 0;
    EXPECT_TRUE(ok(read_float(b, "DST", "f", v)));
    EXPECT_EQ(v, 5);

    // The read came first, from the core's thread, with the ids filled in.
    auto ev = Recorder::get().events();
    std::vector<int> kinds;
    for (const Event &e : ev)
        if (e.type >= NCEVENT_READ_REQUEST && e.type <= NCEVENT_WRITE_RESULT && kinds.size() < 4) {
            kinds.push_back(e.type);
            EXPECT_EQ(e.network, net);
            EXPECT_EQ(e.device, e.type <= NCEVENT_READ_RESULT ? a : b);
            EXPECT_NE(e.thread, std::this_thread::get_id());
        }
    EXPECT_EQ(kinds, (std::vector<int>{7, 8, 9, 10}));
}

TEST_F(PlexordSched, FixedValueTaskRepeats)
{
    sched_task_t *t = task(SCHED_TASK_FIXED);
    scheduler_task_set_target_device(t, b);
    scheduler_task_set_target_item(t, "FIX");
    scheduler_task_set_fixed_value(t, 2.5);
    scheduler_add_task(g_sched, t, 0);
    ASSERT_TRUE(Recorder::get().wait(
        [](const std::vector<Event> &ev) {
            int n = 0;
            for (const Event &e : ev)
                n += e.type == NCEVENT_WRITE_RESULT && e.item == "FIX";
            return n >= 2;
        },
        5000));
    // Removed: no more runs.
    scheduler_remove_task(g_sched, t->id);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Recorder::get().clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (const Event &e : Recorder::get().events())
        EXPECT_NE(e.item, "FIX");
}

TEST_F(PlexordSched, ConditionTaskTogglesWithTheSixOperators)
{
    // If SW == 0 then SW := 1 else SW := 0: a toggle.
    sched_task_t *t = task(SCHED_TASK_CONDITION);
    sched_condition_t *k = scheduler_task_get_condition(t);
    k->left.is_fixed = 0;
    k->left.device_id = a;
    k->left.item = ux_strdup("SW");
    k->op = SCHED_OP_EQ;
    k->right.is_fixed = 1;
    k->right.value = 0;
    k->then_target = {a, ux_strdup("SW"), nullptr};
    k->then_value = 1;
    k->else_target = {a, ux_strdup("SW"), nullptr};
    k->else_value = 0;
    scheduler_add_task(g_sched, t, 0);
    ASSERT_TRUE(written("SW", 1));
    ASSERT_TRUE(written("SW", 0));
    scheduler_remove_task(g_sched, t->id);

    // Each operator, both operands fixed (3 against 5): then-value 1, else-value 2.
    const double want[] = {0, 2, 2, 2, 1, 1, 1};
    for (int op = SCHED_OP_EQ; op <= SCHED_OP_NE; ++op) {
        sched_task_t *c = task(SCHED_TASK_CONDITION, 3600);
        sched_condition_t *q = scheduler_task_get_condition(c);
        q->left = {1, 0, nullptr, nullptr, 3};
        q->right = {1, 0, nullptr, nullptr, 5};
        q->op = op;
        std::string item = "OP" + std::to_string(op);
        q->then_target = {b, ux_strdup(item.c_str()), nullptr};
        q->then_value = 1;
        q->else_target = {b, ux_strdup(item.c_str()), nullptr};
        q->else_value = 2;
        scheduler_add_task(g_sched, c, 0);
        EXPECT_TRUE(written(item, want[op])) << "operator " << op;
    }
}

TEST_F(PlexordSched, DoNothingElseWritesNothing)
{
    sched_task_t *t = task(SCHED_TASK_CONDITION);
    sched_condition_t *k = scheduler_task_get_condition(t);
    k->left = {1, 0, nullptr, nullptr, 1};
    k->right = {1, 0, nullptr, nullptr, 2};
    k->op = SCHED_OP_GT;
    k->then_target = {b, ux_strdup("T"), nullptr};
    k->do_nothing_else = 1;
    k->else_target = {b, ux_strdup("E"), nullptr};
    scheduler_add_task(g_sched, t, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (const Event &e : Recorder::get().events())
        EXPECT_TRUE(e.type < NCEVENT_READ_REQUEST || e.type > NCEVENT_WRITE_RESULT) << e.item;
}

TEST_F(PlexordSched, MissingDeviceOrNetworkIsLoggedAndTheTaskGoesOn)
{
    sched_task_t *t = task(SCHED_TASK_COPY);
    scheduler_task_set_name(t, "Broken");
    scheduler_task_set_source_device(t, 999);
    scheduler_task_set_source_item(t, "SRC");
    scheduler_task_set_target_device(t, b);
    scheduler_task_set_target_item(t, "DST");
    scheduler_add_task(g_sched, t, 0);
    sched_task_t *good = task(SCHED_TASK_FIXED);
    scheduler_task_set_target_device(good, b);
    scheduler_task_set_target_item(good, "OK");
    scheduler_task_set_fixed_value(good, 1);
    scheduler_add_task(g_sched, good, 0);

    auto broken_lines = [](const std::vector<Event> &ev) {
        int n = 0;
        for (const Event &e : ev)
            n += e.type == NCEVENT_LOG && e.message.rfind(" ! Task ", 0) == 0 &&
                 e.message.find("\"Broken\"") != std::string::npos &&
                 e.message.find("No such device") != std::string::npos;
        return n;
    };
    ASSERT_TRUE(Recorder::get().wait([&](const std::vector<Event> &ev) { return broken_lines(ev) >= 2; }));
    EXPECT_TRUE(written("OK", 1));

    // The network gone: the same, with its own reason.
    networkmgr_remove_network(net);
    Recorder::get().clear();
    EXPECT_TRUE(Recorder::get().wait_log("No such network"));
}

TEST_F(PlexordSched, AccessorsAndLocking)
{
    sched_task_t *t = scheduler_task_new(SCHED_TASK_COPY);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(scheduler_task_new(3), nullptr);
    scheduler_add_task(g_sched, t, 0);
    EXPECT_EQ(cls(scheduler_add_task(g_sched, t, 0)), NCERR_INVALID);
    sched_task_t *w = scheduler_fetch_task(g_sched, t->id, 1);
    ASSERT_EQ(w, t);
    scheduler_task_set_interval(w, 86430);
    int days = -1, secs = -1;
    scheduler_task_get_interval_span(w, &days, &secs);
    EXPECT_EQ(days, 1);
    EXPECT_EQ(secs, 30);
    EXPECT_EQ(scheduler_task_get_interval(w), 86430);
    ux_datetime_t first = scheduler_task_get_first_date_time(w);
    dt_set_hms(&first, 7, 5, 0);
    scheduler_task_set_first_date_time(w, first);
    EXPECT_EQ(w->first, first);
    EXPECT_TRUE(ok(scheduler_task_change_type(w, SCHED_TASK_FIXED)));
    EXPECT_EQ(cls(scheduler_task_change_type(w, 5)), NCERR_INVALID);
    scheduler_task_set_source_item(w, "S");
    scheduler_task_set_source_item(w, "S2"); // the old text is freed
    EXPECT_STREQ(w->source_item, "S2");
    // Held exclusively: a reader from another thread waits and gives up.
    std::thread([&] { EXPECT_EQ(scheduler_fetch_task(g_sched, t->id, 0), nullptr); }).join();
    scheduler_drop_task(g_sched, w);
    sched_task_t *r = scheduler_fetch_task(g_sched, t->id, 0);
    EXPECT_EQ(scheduler_task_get_type(r), SCHED_TASK_FIXED);
    scheduler_drop_task(g_sched, r);
    EXPECT_EQ(scheduler_fetch_task(g_sched, 12345, 0), nullptr);
    EXPECT_EQ(scheduler_get_task_count(g_sched), 1);
}
