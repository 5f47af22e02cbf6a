"""Benchmarks of quelbrin.async_: ``make bench``.

Every comparison is a ratio measured in the same run: the cases of one
comparison are timed in interleaved rounds (the order rotating from round to
round), and the ratio reported is the median of the per-round ratios, so a
machine that slows down for a while slows every case of that round alike.
Absolute times are medians too.  The table goes to stdout, everything
measured to bench/results.json.

    python bench/run.py            # the full run (30 s to a minute on 2 CPUs, with load)
    python bench/run.py --quick    # a third of the rounds (10-15 s), for a quick look
    python bench/run.py --only locked,import   # the locked call alone takes a few seconds
    python bench/run.py --only bigresult       # a 100 MiB result, join() against get() (half a minute)
"""

import argparse
import gc
import inspect
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time
import timeit
from concurrent.futures import ProcessPoolExecutor

import multiprocessing as multiprocessing_package

import baseline

from quelbrin.async_ import synchronize, tandemix
# The worker imports these when it runs; a framework process has them loaded
# already, so the children do not pay for importing them.
import quelbrin.trevask.signals  # noqa: F401
import quelbrin.trevask.steps  # noqa: F401

fork = multiprocessing_package.get_context("fork")
HERE = pathlib.Path(__file__).resolve().parent

rows = []  # one per printed figure
raw = {}  # everything measured, for results.json


def record(figure, value, unit, target=None, met=None, detail=""):
    rows.append({"figure": figure, "value": value, "unit": unit, "target": target, "met": met, "detail": detail})


def interleaved(cases, rounds):
    """Runs each case once per round, rotating the order; returns the samples."""
    names = list(cases)
    samples = {name: [] for name in names}
    for r in range(rounds):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            samples[name].append(cases[name]())
    return samples


def median_ratio(samples, numerator, denominator):
    return statistics.median(a / b for a, b in zip(samples[numerator], samples[denominator]))


def per_call(timer, number):
    return lambda: timer.timeit(number) / number


def timed(operation, *args, free_inside=False):
    """A case timing one call of `operation` with the collector paused, as
    timeit pauses it.  The result is freed after the clock stopped, so only
    making it is timed; with `free_inside`, it is freed before the clock
    stops, as in a timeit loop, where each result is dropped inside the loop."""

    def case():
        enabled = gc.isenabled()
        gc.disable()
        try:
            start = time.perf_counter()
            result = operation(*args)
            if free_inside:
                del result
            elapsed = time.perf_counter() - start
        finally:
            if enabled:
                gc.enable()
        return elapsed

    return case


# ---------------------------------------------------------------------------
# Locked call


def locked_call_classes():
    """One class per decorator, each with a decorated method, its undecorated
    twin for the floor, and the plain-Python wrapper for the yardstick."""

    class ViaLockable(synchronize.Lockable):
        @synchronize.Lockable.locked
        def native0(self):
            return 1

        @synchronize.Lockable.locked
        def native3(self, a, b, c=None):
            return a

        @baseline.lockable_locked
        def python0(self):
            return 1

        @baseline.lockable_locked
        def python3(self, a, b, c=None):
            return a

        def plain0(self):
            return 1

        def plain3(self, a, b, c=None):
            return a

    class ViaLocked:
        @synchronize.locked
        def native0(self):
            return 1

        @synchronize.locked
        def native3(self, a, b, c=None):
            return a

        @baseline.locked
        def python0(self):
            return 1

        @baseline.locked
        def python3(self, a, b, c=None):
            return a

        def plain0(self):
            return 1

        def plain3(self, a, b, c=None):
            return a

    class ViaMeta(metaclass=synchronize.LockableMeta):
        def native0(self):
            return 1

        def native3(self, a, b, c=None):
            return a

        @synchronize.LockableMeta.ignore
        @baseline.locked
        def python0(self):
            return 1

        @synchronize.LockableMeta.ignore
        @baseline.locked
        def python3(self, a, b, c=None):
            return a

        @synchronize.LockableMeta.ignore
        def plain0(self):
            return 1

        @synchronize.LockableMeta.ignore
        def plain3(self, a, b, c=None):
            return a

    return {"Lockable.locked": ViaLockable, "locked": ViaLocked, "LockableMeta": ViaMeta}


# What a locked call may cost over acquiring, calling and releasing by hand.
FLOOR_TARGETS = {"()": 1.3, "(1, 2, c=3)": 1.2}


def bench_locked(rounds, number):
    calls = {"()": ("0", ""), "(1, 2, c=3)": ("3", "1, 2, c=3")}
    for decorator, cls in locked_call_classes().items():
        obj = cls()
        obj.native0()  # the lock exists from here on, whatever the decorator
        lock = obj.__lock__
        names = {"obj": obj, "acquire": lock.acquire, "release": lock.release}
        for shape, (suffix, arguments) in calls.items():
            cases = {
                "native": f"obj.native{suffix}({arguments})",
                "floor": f"acquire(block=False); obj.plain{suffix}({arguments}); release()",
                "python": f"obj.python{suffix}({arguments})",
            }
            timers = {name: per_call(timeit.Timer(stmt, globals=names), number) for name, stmt in cases.items()}
            for timer in timers.values():
                timer()  # warm up: let the interpreter specialise the statements
            samples = interleaved(timers, rounds)
            ns = {name: statistics.median(values) * 1e9 for name, values in samples.items()}
            detail = f"native {ns['native']:.0f} ns, floor {ns['floor']:.0f} ns, Python {ns['python']:.0f} ns"
            vs_floor = median_ratio(samples, "native", "floor")
            vs_python = median_ratio(samples, "native", "python")
            label = f"locked call via {decorator}{shape}"
            target = FLOOR_TARGETS[shape]
            record(f"{label}: native / floor", vs_floor, "x", target, vs_floor <= target, detail)
            record(f"{label}: native / Python wrapper", vs_python, "x", 0.5, vs_python <= 0.5)
            raw[label] = {"ns": ns, "samples_s": samples, "vs_floor": vs_floor, "vs_python": vs_python}


# ---------------------------------------------------------------------------
# Argument building and construction


def target(i):
    return i


def bench_build_arguments(rounds, instances=10_000):
    pcall = tandemix.Pcall(target)
    pcall.cargs = (0, 1)
    pcall.iargs = [(i,) for i in range(instances)]
    pcall.ckwargs = {"common": True}
    pcall.ikwargs = [{"own": i} for i in range(instances)]
    pcall.varkwargs = {"x": list(range(instances)), "y": list(range(instances))}
    assert pcall._build_arguments() == baseline.build_arguments(pcall)

    samples = interleaved(
        {
            "native": timed(tandemix.Pcall._build_arguments, pcall),
            "python": timed(baseline.build_arguments, pcall),
            "native, freed inside": timed(tandemix.Pcall._build_arguments, pcall, free_inside=True),
            "python, freed inside": timed(baseline.build_arguments, pcall, free_inside=True),
        },
        rounds,
    )
    ms = {name: statistics.median(values) * 1e3 for name, values in samples.items()}
    ratio = median_ratio(samples, "native", "python")
    record(
        f"argument building, {instances:,} instances: native / Python",
        ratio,
        "x",
        0.55,
        ratio <= 0.55,
        f"native {ms['native']:.2f} ms, Python {ms['python']:.2f} ms (result freed after the clock stops)",
    )
    freed_inside = median_ratio(samples, "native, freed inside", "python, freed inside")
    record(
        f"argument building, {instances:,} instances, freeing timed: native / Python",
        freed_inside,
        "x",
        detail=f"native {ms['native, freed inside']:.2f} ms, Python {ms['python, freed inside']:.2f} ms "
        "(result freed before the clock stops, as in a timeit loop)",
    )
    raw["argument building"] = {"ms": ms, "samples_s": samples, "ratio": ratio, "ratio_freed_inside": freed_inside}


def bare_processes(iargs):
    """What construction cannot avoid: one queue and one unstarted process
    object per instance."""
    return fork.SimpleQueue(), [fork.Process(target=target, args=args, kwargs={}) for args in iargs]


def bench_construction(rounds, instances=1_000):
    iargs = [(i,) for i in range(instances)]

    def construct():
        return tandemix.Pcall(target, iargs=iargs)

    samples = interleaved({"pcall": timed(construct), "bare": timed(bare_processes, iargs)}, rounds)
    ms = {name: statistics.median(values) * 1e3 for name, values in samples.items()}
    ratio = median_ratio(samples, "pcall", "bare")
    record(
        f"construction, {instances:,} instances: Pcall / bare Process objects",
        ratio,
        "x",
        detail=f"Pcall {ms['pcall']:.1f} ms, bare {ms['bare']:.1f} ms",
    )
    raw["construction"] = {"ms": ms, "samples_s": samples, "ratio": ratio}


# ---------------------------------------------------------------------------
# Parallel call end to end


def floor_child(queue, index):
    # The work every worker must do: look at its stack once, report once.
    inspect.stack()
    queue.put((index, True, index))


def floor_run(count):
    queue = fork.SimpleQueue()
    children = [fork.Process(target=floor_child, args=(queue, i)) for i in range(count)]
    for child in children:
        child.start()
    for child in children:
        child.join()
    return sorted(queue.get() for _ in range(count))


class QuickPoll:
    """Stands in for the `time` module of tandemix: sleep() waits one
    millisecond however long it is asked to, so what remains is the cost of
    the parallel call itself rather than the quarter-second poll."""

    quantum = 0.001
    time = staticmethod(time.time)

    def sleep(self, seconds):
        time.sleep(min(seconds, self.quantum))


def pcall_run(count):
    return tandemix.Pcall.pcall(target, iargs=[(i,) for i in range(count)])


def pcall_quick_poll_run(count):
    saved = tandemix.time
    tandemix.time = QuickPoll()
    try:
        return pcall_run(count)
    finally:
        tandemix.time = saved


def executor_run(count):
    with ProcessPoolExecutor(max_workers=count, mp_context=fork) as executor:
        return list(executor.map(target, range(count)))


def pool_run(count):
    with fork.Pool(count) as pool:
        return pool.map(target, range(count))


def bench_pcall(rounds, sizes=(1, 8, 32)):
    assert pcall_run(2) == (0, 1) and pcall_quick_poll_run(2) == (0, 1)
    for count in sizes:

        def wall_clock(run):
            def case():
                start = time.perf_counter()
                run(count)
                return time.perf_counter() - start

            return case

        cases = {
            "floor": wall_clock(floor_run),
            "pcall": wall_clock(pcall_run),
            "pcall, poll set aside": wall_clock(pcall_quick_poll_run),
            "ProcessPoolExecutor": wall_clock(executor_run),
            "Pool": wall_clock(pool_run),
        }
        samples = interleaved(cases, rounds)
        ms = {name: statistics.median(values) * 1e3 for name, values in samples.items()}
        quick = median_ratio(samples, "pcall, poll set aside", "floor")
        record(
            f"Pcall.pcall, {count} target(s), poll set aside: / floor",
            quick,
            "x",
            1.3,
            quick <= 1.3,
            f"{ms['pcall, poll set aside']:.1f} ms vs floor {ms['floor']:.1f} ms",
        )
        record(
            f"Pcall.pcall, {count} target(s), with the 0.25 s poll: / floor",
            median_ratio(samples, "pcall", "floor"),
            "x",
            detail=f"{ms['pcall']:.1f} ms",
        )
        for other in ("ProcessPoolExecutor", "Pool"):
            record(
                f"{other} (fork), {count} call(s): / floor",
                median_ratio(samples, other, "floor"),
                "x",
                detail=f"{ms[other]:.1f} ms",
            )
        raw[f"pcall {count}"] = {"ms": ms, "samples_s": samples}


# ---------------------------------------------------------------------------
# A large result


def big_result(case, mib):
    """bench/bigresult.py in a fresh interpreter: what taking one result cost it."""
    output = subprocess.run([sys.executable, str(HERE / "bigresult.py"), case, str(mib)], check=True,
                            capture_output=True, text=True)
    return json.loads(output.stdout)


def bench_bigresult(rounds, mib=100):
    samples = interleaved({case: lambda case=case: big_result(case, mib) for case in ("join", "get")}, rounds)
    for key, label, target in (("seconds", "time", 1.05), ("cpu_seconds", "processor time", None),
                               ("peak_kib", "peak RSS", 1.10)):
        values = {case: [sample[key] for sample in cases] for case, cases in samples.items()}
        ratio = median_ratio(values, "join", "get")
        medians = {case: statistics.median(v) for case, v in values.items()}
        if key == "peak_kib":
            detail = f"{medians['join'] / 1024:.0f} MiB vs {medians['get'] / 1024:.0f} MiB"
        else:
            detail = f"{medians['join'] * 1e3:.0f} ms vs {medians['get'] * 1e3:.0f} ms"
        record(f"{mib} MiB result, {label}: join() / SimpleQueue.get()", ratio, "x", target,
               None if target is None else ratio <= target, detail)
    raw[f"bigresult {mib} MiB"] = samples


# ---------------------------------------------------------------------------
# Import time

IMPORTS = {
    "quelbrin.async_.tandemix": (
        "import os, time, signal, logging, inspect, itertools, functools, collections, multiprocessing\n"
        "multiprocessing.get_context('fork')"
    ),
    "quelbrin.async_.synchronize": (
        "import inspect, logging, functools, multiprocessing\nmultiprocessing.get_context('fork')"
    ),
}


def import_seconds(statement):
    """Time the statement takes as the first thing a fresh interpreter does."""
    program = f"import time\nstart = time.perf_counter()\n{statement}\nprint(time.perf_counter() - start)\n"
    output = subprocess.run([sys.executable, "-c", program], check=True, capture_output=True, text=True)
    return float(output.stdout)


def bench_import(rounds):
    for module, standard in IMPORTS.items():
        samples = interleaved(
            {"module": lambda: import_seconds(f"import {module}"), "standard": lambda: import_seconds(standard)},
            rounds,
        )
        ms = {name: statistics.median(values) * 1e3 for name, values in samples.items()}
        extra = statistics.median(a - b for a, b in zip(samples["module"], samples["standard"])) * 1e3
        record(
            f"import {module}: over its standard imports",
            extra,
            "ms",
            3.0,
            extra <= 3.0,
            f"{ms['module']:.1f} ms vs {ms['standard']:.1f} ms",
        )
        raw[f"import {module}"] = {"ms": ms, "samples_s": samples, "extra_ms": extra}


# ---------------------------------------------------------------------------
# Memory


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def footprint(operation, repeat, warm_up):
    """Growth of allocated blocks, RSS and open descriptors over `repeat`
    operations, after `warm_up` operations have filled every cache."""
    for _ in range(warm_up):
        operation()
    gc.collect()
    before = sys.getallocatedblocks(), rss_kib(), open_fds()
    for _ in range(repeat):
        operation()
    gc.collect()
    after = sys.getallocatedblocks(), rss_kib(), open_fds()
    return {"blocks": after[0] - before[0], "rss_kib": after[1] - before[1], "fds": after[2] - before[2]}


def bench_memory(calls=200_000, constructions=2_000):
    objects = [cls() for cls in locked_call_classes().values()]

    def six_locked_calls():
        for obj in objects:
            obj.native0()
            obj.native3(1, 2, c=3)

    def construction():
        tandemix.Pcall(target, cargs=(0,), iargs=[(1,), (2,)], ckwargs={"a": 1}, ikwargs=[{"b": 2}], x=[3, 4])

    for label, operation, repeat, count in (
        (f"{calls:,} locked calls", six_locked_calls, calls // 6, calls),
        (f"{constructions:,} Pcall constructions", construction, constructions, constructions),
    ):
        growth = footprint(operation, repeat, warm_up=max(repeat // 10, 100))
        # A leak of one object per operation would show as `count` blocks;
        # the interpreter's own caches move the count by a few dozen.
        met = abs(growth["blocks"]) <= max(64, count // 1000) and growth["rss_kib"] <= 1024 and growth["fds"] == 0
        record(
            f"memory over {label}: allocated blocks",
            growth["blocks"],
            "blocks",
            f"<= {max(64, count // 1000)}",
            met,
            f"RSS {growth['rss_kib']:+d} KiB (<= 1024), open fds {growth['fds']:+d} (0)",
        )
        raw[f"memory {label}"] = growth


# ---------------------------------------------------------------------------


def print_table():
    header = ("Figure", "Measured", "Target", "Met", "Detail")
    lines = []
    for row in rows:
        value = row["value"]
        measured = f"{value:.2f} {row['unit']}" if isinstance(value, float) else f"{value:+d} {row['unit']}"
        target = row["target"]
        if target is None:
            target_text = "-"
        elif isinstance(target, str):
            target_text = target
        else:
            target_text = f"<= {target:g} {row['unit']}"
        met = "-" if row["met"] is None else ("yes" if row["met"] else "NO")
        lines.append((row["figure"], measured, target_text, met, row["detail"]))
    widths = [max(len(str(line[i])) for line in [header, *lines]) for i in range(len(header) - 1)]

    def format_line(line):
        return " | ".join(str(cell).ljust(width) for cell, width in zip(line, widths)) + " | " + line[-1]

    print(format_line(header))
    print("-|-".join("-" * width for width in widths) + "-|-" + "-" * 6)
    for line in lines:
        print(format_line(line))


BENCHMARKS = ("locked", "arguments", "construction", "pcall", "bigresult", "import", "memory")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer rounds: a rough look, not for the record")
    parser.add_argument("--only", default=",".join(BENCHMARKS), help="comma-separated subset of " + ", ".join(BENCHMARKS))
    options = parser.parse_args()
    only = set(options.only.split(","))
    unknown = only - set(BENCHMARKS)
    if unknown:
        parser.error(f"unknown benchmarks: {', '.join(sorted(unknown))}")
    scale = 3 if options.quick else 1

    started = time.perf_counter()
    if "locked" in only:
        bench_locked(rounds=31 // scale, number=20_000)
    if "arguments" in only:
        bench_build_arguments(rounds=31 // scale)
    if "construction" in only:
        bench_construction(rounds=21 // scale)
    if "pcall" in only:
        bench_pcall(rounds=11 // scale)
    if "bigresult" in only:
        bench_bigresult(rounds=15 // scale)
    if "import" in only:
        bench_import(rounds=21 // scale)
    if "memory" in only:
        bench_memory()
    elapsed = time.perf_counter() - started

    print(f"python {platform.python_version()}, {os.cpu_count()} CPUs, {elapsed:.0f} s")
    print_table()
    results = {
        "python": sys.version,
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "elapsed_s": elapsed,
        "quick": options.quick,
        "figures": rows,
        "measurements": raw,
    }
    (HERE / "results.json").write_text(json.dumps(results, indent=1, default=str) + "\n")
    print(f"\nwritten to {HERE / 'results.json'}")


if __name__ == "__main__":
    main()
