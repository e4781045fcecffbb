#include "modbus_batch.h"

#include <algorithm>

namespace mbplug {

namespace {

bool same_registers(const Work &a, const Work &b)
{
    return a.node.link == b.node.link && a.node.unit == b.node.unit && a.item.kind == b.item.kind;
}

long first_of(const Work &w)
{
    return w.item.address;
}

long end_of(const Work &w)
{
    return static_cast<long>(w.item.address) + w.item.vt.words;
}

// Some register is both read and written.
bool overlap(const Work &a, const Work &b)
{
    return same_registers(a, b) && first_of(a) < end_of(b) && first_of(b) < end_of(a);
}

// The engine may have put both into one query: same direction, and their
// registers meet or overlap.
bool may_share_query(const Work &a, const Work &b)
{
    return a.req->op == b.req->op && same_registers(a, b) && first_of(a) <= end_of(b) && first_of(b) <= end_of(a);
}

void queue(modbus_base_t *m, const Work &w)
{
    const Node &n = w.node;
    const Item &it = w.item;
    for (int i = 0; i < it.vt.words; ++i) {
        const auto a = static_cast<unsigned short>(it.address + i);
        if (w.req->op == PXP_READ)
            modbus_query_read(m, n.link, n.unit, it.kind, a);
        else if (it.kind == MODBUS_COIL)
            modbus_query_write_coil(m, n.link, n.unit, a, w.words[0] != 0);
        else
            modbus_query_write_holding_register(m, n.link, n.unit, a, w.words[i]);
    }
}

void collect(modbus_base_t *m, Work &w)
{
    const Node &n = w.node;
    const Item &it = w.item;
    for (int i = 0; i < it.vt.words; ++i) {
        unsigned short v = 0;
        const int st = modbus_query_result(m, n.link, n.unit, it.kind, static_cast<unsigned short>(it.address + i), &v);
        if (st != 0) {
            w.status = st;
            return;
        }
        if (w.req->op == PXP_READ)
            w.words[i] = v;
    }
    w.status = 0;
}

void flush_once(modbus_base_t *m, const std::vector<Work *> &set)
{
    modbus_query_reset(m);
    for (const Work *w : set)
        queue(m, *w);
    modbus_query_optimize(m);
    modbus_query_flush(m, nullptr);
    for (Work *w : set)
        collect(m, *w);
}

void flush_set(modbus_base_t *m, const std::vector<Work *> &set, const std::function<bool()> &aborted)
{
    if (set.empty())
        return;
    if (aborted()) {
        for (Work *w : set)
            w->status = ST_ABORTED;
        return;
    }
    flush_once(m, set);

    // Many devices refuse a whole merged read when one register inside it
    // does not exist; alone, every other item of it can still be served.
    std::vector<Work *> again;
    for (Work *w : set) {
        if (w->status != BUSLINK_E_EX_ILLEGAL_ADDRESS)
            continue;
        for (const Work *v : set)
            if (v != w && may_share_query(*v, *w)) {
                again.push_back(w);
                break;
            }
    }
    for (Work *w : again) {
        if (aborted()) {
            w->status = ST_ABORTED;
            continue;
        }
        flush_once(m, {w});
    }
}

} // namespace

void flush_work(modbus_base_t *m, const std::vector<Work *> &work, const std::function<bool()> &aborted)
{
    std::vector<Work *> reads, writes;
    for (Work *w : work)
        (w->req->op == PXP_READ ? reads : writes).push_back(w);
    const bool shared = std::any_of(writes.begin(), writes.end(), [&](const Work *w) {
        return std::any_of(reads.begin(), reads.end(), [&](const Work *r) { return overlap(*w, *r); });
    });
    if (shared) {
        // The engine finds a register's result in the read list first.
        flush_set(m, writes, aborted);
        flush_set(m, reads, aborted);
    } else {
        flush_set(m, work, aborted);
    }
    modbus_query_reset(m);
}

int failure_class(int status)
{
    switch (status) {
    case BUSLINK_E_NO_RESPONSE:
    case BUSLINK_E_TIMEOUT: return PXP_FAIL_TIMEOUT;
    case BUSLINK_E_READ_ONLY: return PXP_FAIL_READ_ONLY;
    case BUSLINK_E_EX_ILLEGAL_ADDRESS: return PXP_FAIL_UNKNOWN_SETPOINT;
    case BUSLINK_E_ILLEGAL_ITEM:
    case ST_UNIT:
    case ST_TCP_UNIT:
    case ST_XBEE_ADDRESS:
    case ST_XBEE_SHORT_ON_SERIES2:
    case ST_VALUE_TYPE:
    case ST_VALUE_RANGE: return PXP_FAIL_INVALID;
    case ST_ABORTED: return PXP_FAIL_ABORTED;
    default: return PXP_FAIL_DRIVER;
    }
}

void finish(Work &w)
{
    pxp_request_t &r = *w.req;
    r.status = w.status;
    if (w.status != 0) {
        r.result = failure_class(w.status);
        return;
    }
    r.result = PXP_OK;
    if (r.op == PXP_READ)
        decode_value(w.item.vt, w.words, r.ivalue, r.fvalue);
}

} // namespace mbplug
