// For plug-ins written in C++: the table of operations of a network class,
// so that no exception leaves a plug-in function. T is made as `new
// T(host)` and has get_text, get_integer, set_text, set_integer (key first),
// start, stop, perform, abort and, for a type that links ahead of its first
// batch, connect_now. An exception becomes the status `internal_error`.
#ifndef PLEXORD_PLUGIN_OPS_H
#define PLEXORD_PLUGIN_OPS_H

#include "plexord_plugin.h"

namespace pxp {

template <class T, int internal_error>
struct Operations {
    static T *net(void *n) { return static_cast<T *>(n); }
    template <class F>
    static int guard(F &&f)
    {
        try {
            return f();
        } catch (...) {
            return internal_error;
        }
    }
    static void *create(const pxp_host_t *host)
    {
        try {
            return new T(host);
        } catch (...) {
            return nullptr;
        }
    }
    static void destroy(void *n) { delete net(n); }
    static int get_text(void *n, const char *k, const char **v)
    {
        return guard([&] { return net(n)->get_text(k, v); });
    }
    static int get_integer(void *n, const char *k, int *v)
    {
        return guard([&] { return net(n)->get_integer(k, v); });
    }
    static int set_text(void *n, const char *k, const char *v)
    {
        return guard([&] { return net(n)->set_text(k, v); });
    }
    static int set_integer(void *n, const char *k, int v)
    {
        return guard([&] { return net(n)->set_integer(k, v); });
    }
    static int start(void *n)
    {
        return guard([&] { return net(n)->start(); });
    }
    static void stop(void *n)
    {
        guard([&] {
            net(n)->stop();
            return 0;
        });
    }
    static int perform(void *n, pxp_request_t *r, int count)
    {
        return guard([&] { return net(n)->perform(r, count); });
    }
    static void abort(void *n) { net(n)->abort(); }
    static void connect(void *n)
    {
        // A failure is the network's to log; the next batch tries again.
        guard([&] {
            net(n)->connect_now();
            return 0;
        });
    }
};

template <class T, int internal_error, bool links_ahead>
constexpr pxp_type_t make_type(const char *key, const char *label, const pxp_param_t *params, int param_count,
                               const char *(*status_text)(int))
{
    using O = Operations<T, internal_error>;
    void (*connect)(void *) = nullptr;
    if constexpr (links_ahead)
        connect = O::connect;
    return pxp_type_t{key,        label,       params,         param_count, O::create,     O::destroy,
                      O::get_text, O::get_integer, O::set_text, O::set_integer, O::start, O::stop,
                      O::perform, O::abort,   status_text,    connect};
}

} // namespace pxp

#endif
