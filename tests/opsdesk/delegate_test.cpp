// Delegates and listeners: order, removal during a call, misuse reports.
#include "delegate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_errors;

void RecordError(const char* what)
{
    g_errors.push_back(what);
}

class DelegateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_errors.clear();
        m_previous = SetProgrammingErrorHandler(&RecordError);
    }
    void TearDown() override { SetProgrammingErrorHandler(m_previous); }

private:
    ProgrammingErrorHandler m_previous = nullptr;
};

struct Recorder
{
    explicit Recorder(std::string name, std::vector<std::string>& log)
        : name(std::move(name))
        , log(log)
    {
    }
    void Got(int value) { log.push_back(name + ":" + std::to_string(value)); }

    std::string name;
    std::vector<std::string>& log;
    Listener<Recorder, int> listener{this, &Recorder::Got};
};

// A listener that takes itself (or another) out while being called.
struct Remover
{
    Remover(Delegate<int>& delegate, std::vector<std::string>& log)
        : delegate(delegate)
        , log(log)
    {
    }
    void Got(int value)
    {
        log.push_back("remover:" + std::to_string(value));
        delegate.Remove(listener);
        for (ListenerBase<int>* other : alsoRemove)
            delegate.Remove(*other);
    }

    Delegate<int>& delegate;
    std::vector<std::string>& log;
    std::vector<ListenerBase<int>*> alsoRemove;
    Listener<Remover, int> listener{this, &Remover::Got};
};

TEST_F(DelegateTest, CallsSubscribedThenOwnedListenersInOrder)
{
    std::vector<std::string> log;
    Recorder a("a", log), b("b", log), owned("owned", log);
    {
        Delegate<int> delegate;
        auto ownedListener = std::make_unique<Listener<Recorder, int>>(&owned, &Recorder::Got);
        ListenerBase<int>* ownedRaw = ownedListener.get();
        delegate.SubscribeOwned(std::move(ownedListener));
        delegate.Subscribe(a.listener);
        delegate.Subscribe(b.listener);
        EXPECT_EQ(a.listener.GetSubscriptionCount(), 1);
        EXPECT_EQ(ownedRaw->GetSubscriptionCount(), 1);

        delegate.Call(1);
        EXPECT_EQ(log, (std::vector<std::string>{"a:1", "b:1", "owned:1"}));

        delegate.Remove(a.listener);
        EXPECT_EQ(a.listener.GetSubscriptionCount(), 0);
        log.clear();
        delegate.Call(2);
        EXPECT_EQ(log, (std::vector<std::string>{"b:2", "owned:2"}));

        // Removing an owned listener deletes it.
        delegate.Remove(*ownedRaw);
        log.clear();
        delegate.Call(3);
        EXPECT_EQ(log, (std::vector<std::string>{"b:3"}));
        delegate.Remove(b.listener);
    }
    EXPECT_TRUE(g_errors.empty());
}

TEST_F(DelegateTest, RemovalDuringACallWaitsUntilTheCallEnds)
{
    std::vector<std::string> log;
    Delegate<int> delegate;
    Remover remover(delegate, log);
    Recorder after("after", log);
    remover.alsoRemove.push_back(&after.listener);
    delegate.Subscribe(remover.listener);
    delegate.Subscribe(after.listener);

    delegate.Call(1);
    // Both were still called during the call in which they were removed.
    EXPECT_EQ(log, (std::vector<std::string>{"remover:1", "after:1"}));
    EXPECT_FALSE(delegate.IsCalling());
    EXPECT_EQ(delegate.GetListenerCount(), 0u);
    EXPECT_EQ(remover.listener.GetSubscriptionCount(), 0);
    EXPECT_EQ(after.listener.GetSubscriptionCount(), 0);

    log.clear();
    delegate.Call(2);
    EXPECT_TRUE(log.empty());
}

TEST_F(DelegateTest, NestedCallsDeferRemovalsToTheOutermost)
{
    std::vector<std::string> log;
    Delegate<int> delegate;
    struct Nester
    {
        Delegate<int>& delegate;
        std::vector<std::string>& log;
        ListenerBase<int>* victim = nullptr;
        void Got(int value)
        {
            log.push_back("nester:" + std::to_string(value));
            if (value == 1) {
                delegate.Call(2); // as from a modal loop inside a listener
                delegate.Remove(*victim);
            }
        }
        Listener<Nester, int> listener{this, &Nester::Got};
    } nester{delegate, log};
    Recorder victim("victim", log);
    nester.victim = &victim.listener;
    delegate.Subscribe(nester.listener);
    delegate.Subscribe(victim.listener);

    delegate.Call(1);
    EXPECT_EQ(log, (std::vector<std::string>{"nester:1", "nester:2", "victim:2", "victim:1"}));
    EXPECT_EQ(delegate.GetListenerCount(), 1u);
    delegate.Remove(nester.listener);
}

TEST_F(DelegateTest, SecondRemovalReportsListenerNotInList)
{
    std::vector<std::string> log;
    Delegate<int> delegate;
    Recorder a("a", log);
    delegate.Subscribe(a.listener);
    delegate.Remove(a.listener);

    ::testing::internal::CaptureStderr();
    delegate.Remove(a.listener);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Delegate::Remove: listener not in list\n");
    EXPECT_EQ(a.listener.GetSubscriptionCount(), 0);
}

TEST_F(DelegateTest, DeletingADelegateWithListenersWarnsAndReports)
{
    std::vector<std::string> log;
    Recorder a("a", log), b("b", log);
    ::testing::internal::CaptureStderr();
    {
        Delegate<int> delegate;
        delegate.Subscribe(a.listener);
        delegate.Subscribe(b.listener);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Warning: 2 listeners attached to deleted delegate\n");
    EXPECT_EQ(g_errors.size(), 1u);
    // Released by the delegate: their own deletion reports nothing more.
    EXPECT_EQ(a.listener.GetSubscriptionCount(), 0);
}

TEST_F(DelegateTest, DeletingASubscribedListenerWarnsAndReports)
{
    // Left undeleted on purpose: they still point at the deleted listener.
    auto* first = new Delegate<int>;
    auto* second = new Delegate<int>;
    std::vector<std::string> log;
    auto* a = new Recorder("a", log);
    first->Subscribe(a->listener);
    second->Subscribe(a->listener);
    ::testing::internal::CaptureStderr();
    delete a;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Warning: listener subscribed to 2 delegates when deleted\n");
    EXPECT_EQ(g_errors.size(), 1u);
}

TEST_F(DelegateTest, DeletingAnIdleDelegateWithOwnedListenersIsQuiet)
{
    std::vector<std::string> log;
    Recorder owned("owned", log);
    ::testing::internal::CaptureStderr();
    {
        Delegate<int> delegate;
        delegate.SubscribeOwned(std::make_unique<Listener<Recorder, int>>(&owned, &Recorder::Got));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(g_errors.empty());
}

} // namespace
