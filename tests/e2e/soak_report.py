"""The soak's figures, printed, and the limits they must keep.

report() reads a finished Soak (soak_wine.py): its answer rows, the
journals of its server_sims, its faults, the samples of the client's use of
memory and handles, and how the client ended. Every figure that misses a
limit becomes one of the soak's problems; the exit code is 1 when there is
any.
"""

import soak_journal

SHUTDOWN_LIMIT_S = 5.0
# The client's handle count under Wine may step up by two after the first
# reconnection and stay there: a step, not growth, yet on some 52 handles
# already 5 %. Handles count as grown only past such a step.
HANDLE_STEP = 3
GROWTH_LIMIT = 0.05


def median(group, figure):
    return sorted(f[figure] for f in group)[len(group) // 2]


def report(soak, addons, offsets):
    """Prints the figures of soak, whose add-ons (addons of them) wrote at
    offsets; returns the exit code."""
    def check(good, what):
        if not good:
            soak.problems.append(what)

    rows = sorted(soak.rows, key=lambda r: r[1])
    counts, bad = soak_journal.journaled(soak.sims, offsets)
    writes = soak_journal.sort_writes(rows, soak.faults, counts, soak.close_ns)
    print("Soak of %.1f min: %d add-ons, %d requests, %d faults (%s)" % (
        soak.opts.minutes, addons, len(rows), len(soak.faults), " ".join(f.kind for f in soak.faults)))
    print("writes answered 1          %d" % len(writes.answered))
    print("  lost                     %d" % len(writes.lost))
    print("  near a fault             %d, of them not journaled %d" % (len(writes.near), len(writes.near_missing)))
    print("  in the 2 s before close  %d, of them not journaled %d" % (
        len(writes.before_close), len(writes.before_close_missing)))
    gone = [f for f in soak.faults if f.kind == "address"]
    if gone:
        while_gone = [r for r in writes.answered if any(f.start_ns <= r[1] <= f.end_ns for f in gone)]
        print("  while the address was gone %d (in %d outages)" % (len(while_gone), len(gone)))
    print("invalid batches            %d" % bad)
    print("values journaled twice     %d" % len(writes.twice))
    check(not writes.lost, "%d writes answered 1 are in no journal (first: value %s)" % (
        len(writes.lost), writes.lost[0][0] if writes.lost else "-"))
    check(bad == 0, "%d invalid batches" % bad)
    check(not writes.twice, "%d values journaled twice" % len(writes.twice))
    check(len(writes.answered) > 0, "no write was answered 1")
    for kind, values in soak_journal.recovery(soak.faults, rows, soak.close_ns).items():
        print("recovery after %-11s %s s" % (kind, " ".join("-" if v is None else "%.2f" % v for v in values)))
        check(None not in values, "no recovery after '%s'" % kind)
    if soak.warm_samples and soak.last_samples:
        first = {k: median(soak.warm_samples, k) for k in soak.warm_samples[0]}
        last = {k: median(soak.last_samples, k) for k in soak.last_samples[0]}
        print("use of the client, after the warm-up and at the end (median of 3 samples each; %d samples):" %
              len(soak.samples))
        later = [f for _, f in soak.samples]
        for figure in sorted(first):
            growth = (last[figure] - first[figure]) / max(1, first[figure])
            print("  %-22s %10d -> %10d  %+.1f %%   (%d to %d over the run)" % (
                figure, first[figure], last[figure], 100 * growth, min(f[figure] for f in later),
                max(f[figure] for f in later)))
            if figure == "private_kb" or (figure == "wine_handles" and last[figure] - first[figure] > HANDLE_STEP):
                check(growth <= GROWTH_LIMIT, "%s grew by %.1f %%" % (figure, 100 * growth))
    if soak.web is not None and soak.web_from_ns and soak.close_ns:
        soak.web.report(soak.web_from_ns, soak.close_ns, check)
    print("WM_CLOSE under load        exit code %s after %s s" % (
        soak.exit_code, "-" if soak.shutdown_s is None else "%.2f" % soak.shutdown_s))
    check(soak.exit_code == 0, "the client did not end with exit code 0 (%s)" % soak.exit_code)
    check(soak.shutdown_s is not None and soak.shutdown_s <= SHUTDOWN_LIMIT_S,
          "the shutdown took longer than %.0f s" % SHUTDOWN_LIMIT_S)
    for p in soak.problems:
        print("PROBLEM: " + p)
    return 1 if soak.problems else 0
