"""The soak's answers against the server's journals.

The add-ons' rows are (value, send stamp, round trip, answer), stamps and
times in nanoseconds of time.time_ns(); each value is written once in the
whole run. Every server_sim of the run journals each write batch it receives
("write ..." per record, "bad ..." per invalid batch). From both: which
writes answered 1 reached a journal, which were lost, and how long the link
took to answer 1 again after each fault.
"""

import types


def journaled(sims, offsets):
    """Values written at offsets -> times journaled; bad batch count."""
    counts, bad = {}, 0
    wanted = {"0x%05X" % o for o in offsets}
    for sim in sims:
        for line in sim.journal_lines():
            w = line.split()
            if w[0] == "bad":
                bad += 1
            elif w[0] == "write" and w[2] in wanted and w[3] == "4":
                value = int.from_bytes(bytes.fromhex(w[4]), "little")
                counts[value] = counts.get(value, 0) + 1
    return counts, bad


def sort_writes(rows, faults, counts, close_ns):
    """What became of the writes of rows, by their values' journal counts:
    answered (answered 1); lost (answered 1, near no fault by Fault.near, in
    no journal); near (answered 1 near a fault) and near_missing (those in no
    journal); before_close (answered 1 in the 2 s before
    WM_CLOSE) and before_close_missing; twice (values journaled more than
    once)."""
    answered = [r for r in rows if r[3] == 1]
    near = [r for r in answered if any(f.near(r[1], r[1] + r[2]) for f in faults)]
    near_values = {r[0] for r in near}
    before_close = [r for r in answered if close_ns and close_ns - 2_000_000_000 <= r[1] <= close_ns]
    return types.SimpleNamespace(
        answered=answered,
        lost=[r for r in answered if r[0] not in counts and r[0] not in near_values],
        near=near,
        near_missing=[r for r in near if r[0] not in counts],
        before_close=before_close,
        before_close_missing=[r for r in before_close if r[0] not in counts],
        twice=[v for v, n in counts.items() if n > 1])


def recovery(faults, rows, close_ns):
    """fault kind -> seconds until answered 1 again (None: never back)."""
    result = {}
    ends = [f.start_ns for f in faults[1:]] + [close_ns or float("inf")]
    for fault, end in zip(faults, ends):
        # The add-ons' requests overlap, so answers change over more than
        # once in the order of sending: the link is back after the last
        # request of the window that was not answered 1. The window ends
        # with the last request answered before the next fault.
        window = [r for r in rows if fault.start_ns <= r[1] and r[1] + r[2] < end]
        last_down = max((i for i, r in enumerate(window) if r[3] != 1), default=None)
        if last_down is None:
            seconds = 0.0  # answered 1 throughout
        else:
            back = next((r for r in window[last_down:] if r[3] == 1), None)
            seconds = None if back is None else max(0.0, (back[1] - fault.back_ns) / 1e9)
        result.setdefault(fault.kind, []).append(seconds)
    return result
