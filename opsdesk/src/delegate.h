// Typed delegates: the event bridge calls one per event type, and windows
// subscribe member functions to them for as long as they live.
#ifndef OPSDESK_DELEGATE_H
#define OPSDESK_DELEGATE_H

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

// A misuse that leaves delegates and listeners out of step. The default
// handler breaks into a debugger when one is attached and otherwise lets the
// program go on after the printed warning.
using ProgrammingErrorHandler = void (*)(const char* what);
// Returns the previous handler; null restores the default.
ProgrammingErrorHandler SetProgrammingErrorHandler(ProgrammingErrorHandler handler);
void ProgrammingError(const char* what);

template <typename A>
class Delegate;

template <typename A>
class ListenerBase
{
public:
    ListenerBase() = default;
    ListenerBase(const ListenerBase&) = delete;
    ListenerBase& operator=(const ListenerBase&) = delete;

    virtual ~ListenerBase()
    {
        if (m_count != 0) {
            std::fprintf(stderr, "Warning: listener subscribed to %d delegates when deleted\n", m_count);
            ProgrammingError("listener deleted while subscribed");
        }
    }

    virtual void operator()(A argument) = 0;

    int GetSubscriptionCount() const { return m_count; }

private:
    friend class Delegate<A>;
    int m_count = 0;
};

template <typename T, typename A>
class Listener final : public ListenerBase<A>
{
public:
    using Method = void (T::*)(A);

    Listener(T* object, Method method)
        : m_object(object)
        , m_method(method)
    {
    }

    void operator()(A argument) override { (m_object->*m_method)(argument); }

private:
    T* m_object;
    Method m_method;
};

template <typename A>
class Delegate
{
public:
    Delegate() = default;
    Delegate(const Delegate&) = delete;
    Delegate& operator=(const Delegate&) = delete;

    ~Delegate()
    {
        if (m_depth != 0 || !m_deferred.empty() || !m_listeners.empty())
            ProgrammingError("delegate deleted while in use");
        for (auto& owned : m_owned)
            --owned->m_count;
        m_owned.clear();
        if (!m_listeners.empty()) {
            std::fprintf(stderr, "Warning: %lu listeners attached to deleted delegate\n",
                         static_cast<unsigned long>(m_listeners.size()));
            // They no longer hang on this delegate; their own deletion need
            // not report it a second time.
            for (ListenerBase<A>* listener : m_listeners)
                --listener->m_count;
        }
    }

    void Subscribe(ListenerBase<A>& listener)
    {
        m_listeners.push_back(&listener);
        ++listener.m_count;
    }

    // The delegate owns the listener and deletes it with itself.
    void SubscribeOwned(std::unique_ptr<ListenerBase<A>> listener)
    {
        ++listener->m_count;
        m_owned.push_back(std::move(listener));
    }

    // During a call the removal waits until the call has ended, so that the
    // lists do not change under it.
    void Remove(ListenerBase<A>& listener)
    {
        if (m_depth > 0) {
            m_deferred.push_back(&listener);
            return;
        }
        auto it = std::find(m_listeners.begin(), m_listeners.end(), &listener);
        if (it != m_listeners.end()) {
            --listener.m_count;
            m_listeners.erase(it);
            return;
        }
        auto owned = std::find_if(m_owned.begin(), m_owned.end(),
                                  [&](const std::unique_ptr<ListenerBase<A>>& l) { return l.get() == &listener; });
        if (owned != m_owned.end()) {
            --listener.m_count;
            m_owned.erase(owned);
            return;
        }
        std::fprintf(stderr, "Delegate::Remove: listener not in list\n");
    }

    void Call(A argument)
    {
        // A depth rather than a flag: a listener that runs a modal loop may
        // see this delegate called again inside its own call.
        ++m_depth;
        for (size_t i = 0; i < m_listeners.size(); ++i)
            (*m_listeners[i])(argument);
        for (size_t i = 0; i < m_owned.size(); ++i)
            (*m_owned[i])(argument);
        --m_depth;
        if (m_depth == 0 && !m_deferred.empty()) {
            std::vector<ListenerBase<A>*> deferred;
            deferred.swap(m_deferred);
            for (ListenerBase<A>* listener : deferred)
                Remove(*listener);
        }
    }

    bool IsCalling() const { return m_depth > 0; }
    size_t GetListenerCount() const { return m_listeners.size() + m_owned.size(); }

private:
    std::vector<ListenerBase<A>*> m_listeners;
    std::vector<std::unique_ptr<ListenerBase<A>>> m_owned;
    std::vector<ListenerBase<A>*> m_deferred;
    int m_depth = 0;
};

#endif
