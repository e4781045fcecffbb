#include "modbus_batch.h"

#include <algorithm>
#include <deque>

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

void flush_once(modbus_base_t *m, const std::vector<Work *> &set, int window)
{
    modbus_query_reset(m);
    for (const Work *w : set)
        queue(m, *w);
    modbus_query_optimize(m);
    if (window > 1)
        modbus_query_flush_window(m, nullptr, window);
    else
        modbus_query_flush(m, nullptr);
    for (Work *w : set)
        collect(m, *w);
}

void flush_set(modbus_base_t *m, const std::vector<Work *> &set, const std::function<bool()> &aborted, int window)
{
    if (set.empty())
        return;
    if (aborted()) {
        for (Work *w : set)
            w->status = ST_ABORTED;
        return;
    }
    flush_once(m, set, window);

    // Many devices refuse a whole merged read when one register inside it
    // does not exist; alone, every other item of it can still be served.
    std::vector<Work *> again;
    for (Work *w : set) {
        if (w->status != BUSLINK_E_EX_ILLEGAL_ADDRESS || w->gap >= 0)
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
        flush_once(m, {w}, window);
    }
}

bool is_bit(int kind)
{
    return kind == MODBUS_COIL || kind == MODBUS_DISCRETE_INPUT;
}

// By node, kind and first register.
bool in_address_order(const Work *a, const Work *b)
{
    return std::make_tuple(a->node.link, a->node.unit, a->item.kind, first_of(*a)) <
           std::make_tuple(b->node.link, b->node.unit, b->item.kind, first_of(*b));
}

// Filler reads for the gaps of at most max_gap between the reads of one node
// and kind, skipping gaps the device refused before and registers written
// in the batch (their write's status must not come from a read). The
// fillers go to `fillers`, the gaps to `spans`, by the fillers' gap index.
void bridge_gaps(const std::vector<Work *> &work, const Reach &reach, pxp_request_t *filler_request,
                 std::deque<Work> &fillers, std::vector<GapMemory::Span> &spans)
{
    std::vector<const Work *> reads, writes;
    for (const Work *w : work)
        (w->req->op == PXP_READ ? reads : writes).push_back(w);
    std::sort(reads.begin(), reads.end(), in_address_order);
    long end = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const Work &w = *reads[i];
        const bool same_run = i > 0 && same_registers(*reads[i - 1], w);
        if (same_run && first_of(w) > end && first_of(w) - end <= reach.max_gap) {
            const GapMemory::Span gap{w.node.link, w.node.unit, w.item.kind, end, first_of(w)};
            const bool written = std::any_of(writes.begin(), writes.end(), [&](const Work *x) {
                return same_registers(*x, w) && first_of(*x) < gap.end && gap.first < end_of(*x);
            });
            if (!written && !reach.gaps->blocked(gap)) {
                const int index = static_cast<int>(spans.size());
                spans.push_back(gap);
                for (long a = gap.first; a < gap.end; ++a) {
                    Work &f = fillers.emplace_back();
                    f.req = filler_request;
                    f.node = w.node;
                    f.item.kind = w.item.kind;
                    f.item.address = static_cast<uint16_t>(a);
                    f.item.vt.bit = is_bit(w.item.kind);
                    f.gap = index;
                }
            }
        }
        end = same_run ? std::max(end, end_of(w)) : end_of(w);
    }
}

} // namespace

bool GapMemory::blocked(const Span &s) const
{
    if (spans_.size() >= kCapacity)
        return true;
    // Spans of one node and kind never overlap each other; the one that
    // starts last before s.end is the only one that may meet s.
    auto it = spans_.lower_bound(Span{s.link, s.unit, s.kind, s.end, 0});
    if (it == spans_.begin())
        return false;
    --it;
    return it->link == s.link && it->unit == s.unit && it->kind == s.kind && it->end > s.first;
}

void GapMemory::remember(const Span &s)
{
    if (spans_.size() < kCapacity && !blocked(s))
        spans_.insert(s);
}

void flush_work(modbus_base_t *m, const std::vector<Work *> &given, const std::function<bool()> &aborted,
                const Reach &reach)
{
    pxp_request_t filler_request{};
    filler_request.op = PXP_READ;
    std::deque<Work> fillers;
    std::vector<GapMemory::Span> spans;
    std::vector<Work *> work = given;
    if (reach.max_gap > 0 && reach.gaps) {
        bridge_gaps(given, reach, &filler_request, fillers, spans);
        if (!fillers.empty()) {
            for (Work &f : fillers)
                work.push_back(&f);
            // Reads queued in address order, a run and its fillers grow one
            // query as far as the engine lets it. Writes keep their order:
            // the last value queued for a register is the one written.
            const auto reads_begin = std::stable_partition(work.begin(), work.end(),
                                                           [](const Work *w) { return w->req->op != PXP_READ; });
            std::stable_sort(reads_begin, work.end(), in_address_order);
        }
    }
    const int window = reach.window;
    std::vector<Work *> reads, writes;
    for (Work *w : work)
        (w->req->op == PXP_READ ? reads : writes).push_back(w);
    const bool shared = std::any_of(writes.begin(), writes.end(), [&](const Work *w) {
        return std::any_of(reads.begin(), reads.end(), [&](const Work *r) { return overlap(*w, *r); });
    });
    if (shared) {
        // The engine finds a register's result in the read list first.
        flush_set(m, writes, aborted, window);
        flush_set(m, reads, aborted, window);
    } else {
        flush_set(m, work, aborted, window);
    }
    modbus_query_reset(m);
    // A bridged query refused for a missing register: its gaps are read
    // through no more on this device (the items had their retry alone).
    for (const Work &f : fillers)
        if (f.status == BUSLINK_E_EX_ILLEGAL_ADDRESS)
            reach.gaps->remember(spans[static_cast<std::size_t>(f.gap)]);
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
