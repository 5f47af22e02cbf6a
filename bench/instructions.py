"""Instructions per operation on the hot paths, counted by callgrind:
``make bench-instructions`` (every supported interpreter; also the second
half of ``make bench``).

Wall-clock ratios move with the load of a shared machine; instruction counts
do not.  Each group of cases runs in a process of its own under ``valgrind
--tool=callgrind`` (start-up and set-up uninstrumented).  A case is warmed
up first (the interpreter specialises its bytecode, the caches fill), then
run for N and for 2N operations, each time between a zeroing and a dump of
callgrind's counters (client requests, from ``bench/native/counters.c``),
with the cyclic collector paused as ``timeit`` pauses it and the results
kept alive until the dump.  The figure is

    (Ir(2N) - Ir(N)) / N

so neither start-up nor whatever a region costs once (the calls that zero
and dump, setting up the loop) is in it, and hash randomisation is off, so
two runs give the same counts.  The ratios are per-operation counts divided
by the yardstick's.  A loop of Python statements costs its loop too: the
"empty loop" row gives that cost, which the ratios include on both sides,
as a ``timeit`` ratio would.

The floors are minimal C++ prototypes in ``bench/native/`` that do only the
work each path must do; they are compiled here against the interpreter's
headers (into ``build/bench/<version>/``) and use the project's own cached
attribute reads (``attribute_cache.hpp``).

    python bench/instructions.py               # the table; writes bench/instructions-3.x.json
    python bench/instructions.py --only locked --breakdown native   # where a case's instructions go
    python bench/instructions.py --keep DIR    # keep callgrind's dumps for callgrind_annotate
"""

import argparse
import itertools
import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, NamedTuple

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
VERSION = "%d.%d" % sys.version_info[:2]
NATIVE_BUILD = ROOT / "build" / "bench" / VERSION

# Sizes: operations per region (the small region has N, the large 2N).
LOCKED_CALLS = 2_000
ARGUMENT_INSTANCES = 10_000
CONSTRUCTION_CHILDREN = 1_000

# The goals of the hot-path work, per interpreter.
LOCKED_NO_ARGUMENTS_GOAL = {"3.12": 1.05, "3.13": 1.00}
LOCKED_ARGUMENTS_GOAL = 1.00
POLYMORPHIC_GOAL = 1.10
BUILD_ARGUMENTS_GOAL_INSTRUCTIONS = 4_100
BUILD_ARGUMENTS_GOAL_RATIO = 0.55
CONSTRUCTION_GOAL = 0.85


# ---------------------------------------------------------------------------
# Building the native helpers


def build_native():
    """Compiles the counters and the floors for this interpreter when their
    sources changed; returns the directory that holds them."""
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    NATIVE_BUILD.mkdir(parents=True, exist_ok=True)
    common = ["-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden", "-fno-strict-aliasing",
              "-Wall", "-Wextra", "-Wno-missing-field-initializers", "-Wno-unused-parameter", f"-I{include}"]
    headers = sorted((ROOT / "src" / "quelbrin" / "async_").glob("*.hpp"))
    for source in sorted((HERE / "native").iterdir()):
        if source.suffix not in (".c", ".cpp"):
            continue
        target = NATIVE_BUILD / (source.stem + suffix)
        inputs = [source, *headers] if source.suffix == ".cpp" else [source]
        if target.exists() and all(target.stat().st_mtime >= path.stat().st_mtime for path in inputs):
            continue
        if source.suffix == ".c":
            command = [os.environ.get("CC", "cc"), *common, str(source), "-o", str(target)]
        else:
            # As the extensions are built: C++20, the C++ runtime linked in.
            command = [os.environ.get("CXX", "c++"), "-std=c++20", *common, f"-I{ROOT / 'src' / 'quelbrin' / 'async_'}",
                       str(source), "-o", str(target), "-static-libstdc++", "-static-libgcc"]
        if subprocess.run(command).returncode != 0:
            sys.exit(f"could not build bench/native/{source.name}: it needs the interpreter's headers and "
                     "valgrind's (valgrind/callgrind.h)")
    return NATIVE_BUILD


# ---------------------------------------------------------------------------
# The measured process (runs under callgrind)


def measured_process(group, plan_path, only):
    import gc

    import counters

    if not counters.under_valgrind():
        sys.exit("--measure runs under valgrind --tool=callgrind only")
    plan = []

    def measure(case):
        name, run, operations, unit, verify, settle = case
        if verify is not None:
            verify()
        run(operations)  # warm-up
        labels = []
        for n in (operations, 2 * operations):
            label = f"{name} | {n}"
            if settle is not None:
                settle()
            gc.collect()
            gc.disable()
            counters.zero()
            made = run(n)  # kept until the dump, so that freeing it is not counted
            counters.dump(label)
            gc.enable()
            del made
            labels.append(label)
        plan.append({"case": name, "labels": labels, "operations": operations * unit})

    # Start-up and set-up run without instrumentation (several times
    # faster); nothing before the first zeroing is counted anyway.  The
    # cases are then measured from a call that map() makes, so that the
    # interpreter loop running them is entered while callgrind watches, and
    # its costs are its own in a breakdown.
    selected = [case for case in GROUPS[group]() if not only or any(text in case.name for text in only)]
    counters.start_instrumentation()
    list(map(measure, selected))
    pathlib.Path(plan_path).write_text(json.dumps(plan))


class Case(NamedTuple):
    """One measured case: `run(n)` performs n units of `unit` operations
    each and returns what it made, which lives until the counters are
    dumped; `verify()` checks the result once beforehand; `settle()` brings
    state that the operations grow back to the same shape before each
    region."""

    name: str
    run: Callable[[int], object]
    operations: int
    unit: int = 1
    verify: Callable[[], None] | None = None
    settle: Callable[[], None] | None = None


def looped(statement, calls_per_iteration=1, **names):
    """run(n): `statement` n times in a loop, the names local to it, as in a
    timeit template.  The loop runs over itertools.repeat, as timeit's does:
    a range() past 256 makes and frees an int each time round (about 230
    instructions on 3.12), which would dilute every ratio."""
    parameters = ", ".join(["repeat", *names])
    source = f"def run(n, {parameters}):\n    for _ in repeat(None, n):\n        {statement}\n"
    namespace = {}
    exec(compile(source, f"<{statement}>", "exec"), namespace)
    body = namespace["run"]
    values = list(names.values())
    return lambda n: body(n, itertools.repeat, *values), calls_per_iteration


def one_call_site(statement, objects):
    """run(n): `statement` n times, `o` taking each of `objects` in turn.
    Cycling over them allocates nothing, so the figure does not depend on
    how the heap happens to be laid out."""
    source = f"def run(n, objects, cycle, islice):\n    for o in islice(cycle(objects), n):\n        {statement}\n"
    namespace = {}
    exec(compile(source, f"<{statement}>", "exec"), namespace)
    body = namespace["run"]
    return lambda n: body(n, objects, itertools.cycle, itertools.islice)


def repeated(make):
    """run(n): n results of make(), all kept."""
    return lambda n: [make() for _ in range(n)]


# Each group of cases runs in a process of its own: (name, run, operations,
# unit, verify) for each case, measured in the order given.  The figures of
# one group do not depend on what another group does; within a group, the
# cases share a heap, which moves none of the locked-call figures, and the
# argument-building figures by about 0.2 %.  Each construction case has a
# process of its own: what ran before (the process counter's digits, the
# size of multiprocessing's set of process objects) moves those figures by
# up to 1 %.


def locked_cases():
    """One locked call, by each decorator, with its yardstick and floors."""
    import multiprocessing

    import floor_locked_call

    import run as wall_clock

    fork = multiprocessing.get_context("fork")

    run_empty, _ = looped("pass", obj=None)
    yield Case("empty loop", run_empty, LOCKED_CALLS)

    shapes = {"()": ("0", ""), "(1, 2, c=3)": ("3", "1, 2, c=3")}
    for decorator, cls in wall_clock.locked_call_classes().items():
        # The floor of `locked` (and of LockableMeta, which applies it) also
        # makes a missing lock; that of Lockable.locked does not.
        factory = None if decorator == "Lockable.locked" else fork.RLock
        for suffix, _ in shapes.values():
            plain = cls.__dict__[f"plain{suffix}"]
            setattr(cls, f"floor{suffix}", floor_locked_call.wrap(plain, lock_factory=factory))
            setattr(cls, f"floorpositional{suffix}", floor_locked_call.wrap(plain, lock_factory=factory, positional=True))
        obj = cls()
        obj.native0()  # the lock exists from here on, whatever the decorator
        lock = obj.__lock__
        for shape, (suffix, arguments) in shapes.items():
            statements = {
                "yardstick": f"acquire(block=False); obj.plain{suffix}({arguments}); release()",
                "native": f"obj.native{suffix}({arguments})",
                "floor": f"obj.floor{suffix}({arguments})",
                "floor, block positional": f"obj.floorpositional{suffix}({arguments})",
            }
            for case, statement in statements.items():
                run, _ = looped(statement, obj=obj, acquire=lock.acquire, release=lock.release)

                def verify(method=statement.split("(")[0].removeprefix("obj."), suffix=suffix):
                    if method == "acquire":
                        return
                    call = getattr(obj, method)
                    got, expected = (call(1, 2, c=3), 1) if suffix == "3" else (call(), 1)
                    assert got == expected and not lock._semlock._is_mine(), (method, got)

                yield Case(f"locked {shape} via {decorator}: {case}", run, LOCKED_CALLS, verify=verify)



def inherited_cases():
    """One inherited locked method, called on instances of k subclasses in
    turn, against k instances of one class.  From separate call sites
    (`o0.work(); o1.work()`), the interpreter's own sites stay monomorphic
    and only the wrapper sees several types; from one call site (`o.work()`,
    `o` cycling over the instances), the interpreter's site sees them too,
    as it does for an unlocked method."""
    import floor_locked_call

    from quelbrin.async_ import synchronize

    class Base(synchronize.Lockable):
        @synchronize.Lockable.locked
        def work(self):
            return 1

        def plain(self):
            return 1

        # A native method that does nothing per type: the interpreter's own
        # share for this kind of method.
        passed = floor_locked_call.wrap(plain, unlocked=True)

    subclasses = [type(f"Sub{k}", (Base,), {}) for k in range(4)]
    for k in (1, 2, 3, 4):
        for kind, objects in (("one class", [subclasses[0]() for _ in range(k)]),
                              ("subclasses", [subclasses[j]() for j in range(k)])):
            if k == 1 and kind == "subclasses":
                continue
            statement = "; ".join(f"o{j}.work()" for j in range(k))
            run, calls = looped(statement, k, **{f"o{j}": o for j, o in enumerate(objects)})
            yield Case(f"inherited locked method, {k} instance(s), separate call sites: {kind}", run, LOCKED_CALLS,
                       calls)
            run = one_call_site("o.work()", objects)
            yield Case(f"inherited locked method, {k} instance(s), one call site: {kind}", run, LOCKED_CALLS)
            # The interpreter's own share: the same with a method of no lock.
            run = one_call_site("o.plain()", objects)
            yield Case(f"inherited unlocked method, {k} instance(s), one call site: {kind}", run, LOCKED_CALLS)
            run = one_call_site("o.passed()", objects)
            yield Case(f"inherited native pass-through, {k} instance(s), one call site: {kind}", run,
                       LOCKED_CALLS)



def argument_cases():
    """Argument building, per instance."""
    import floor_build_arguments

    import baseline
    import run as wall_clock
    from quelbrin.async_ import tandemix

    pcall = tandemix.Pcall(wall_clock.target)
    pcall.cargs = (0, 1)
    pcall.iargs = [(i,) for i in range(ARGUMENT_INSTANCES)]
    pcall.ckwargs = {"common": True}
    pcall.ikwargs = [{"own": i} for i in range(ARGUMENT_INSTANCES)]
    pcall.varkwargs = {"x": list(range(ARGUMENT_INSTANCES)), "y": list(range(ARGUMENT_INSTANCES))}

    def same_arguments(build):
        def verify():
            assert build(pcall) == baseline.build_arguments(pcall)

        return verify

    for case, build in (
        ("native", tandemix.Pcall._build_arguments),
        ("Python rendering", baseline.build_arguments),
        ("floor", floor_build_arguments.build_arguments),
    ):
        yield Case(f"_build_arguments, per instance: {case}", repeated(lambda build=build: build(pcall)), 1,
                   ARGUMENT_INSTANCES, same_arguments(build))



def compact_dangling_processes():
    """Every process object is entered in a weak set of multiprocessing's
    (`_dangling`) and leaves a dead entry behind when it is freed; when the
    set grows its table depends on those, and so on what ran before and
    where the heap put things (it moved a construction's figure by up to
    1.7 %).
    Copying the set before each region, which holds no live process object
    then, starts every region from the same empty table.  Only a plain
    WeakSet holding a set is touched."""
    import weakref
    from multiprocessing import process

    dangling = getattr(process, "_dangling", None)
    if type(dangling) is weakref.WeakSet and type(getattr(dangling, "data", None)) is set:
        dangling.data = set(dangling.data)


def construction_cases(case):
    """Construction, per child, of one kind."""

    def cases():
        import run as wall_clock

        iargs = [(i,) for i in range(CONSTRUCTION_CHILDREN)]
        if case == "native":
            from quelbrin.async_ import tandemix

            make = lambda: tandemix.Pcall(wall_clock.target, iargs=iargs)  # noqa: E731
        elif case == "Python rendering":
            from python_rendering import tandemix as rendered_tandemix

            make = lambda: rendered_tandemix.Pcall(wall_clock.target, iargs=iargs)  # noqa: E731
        else:
            make = lambda: wall_clock.bare_processes(iargs)  # noqa: E731
        yield Case(f"Pcall(f, iargs=...), per child: {case}", repeated(make), 1, CONSTRUCTION_CHILDREN,
                   settle=compact_dangling_processes)

    return cases


GROUPS = {
    "locked": locked_cases,
    "inherited": inherited_cases,
    "arguments": argument_cases,
    **{f"construction, {case}": construction_cases(case)
       for case in ("native", "Python rendering", "bare Process set-up")},
}


# ---------------------------------------------------------------------------
# Reading callgrind's dumps


def read_dumps(directory):
    """{label: (instructions, path)} of every dump in `directory`.  A dump's
    `summary:` counts what ran since the zeroing; its `totals:` line may be
    larger (far larger in the first dump of a process), and is not read."""
    dumps = {}
    for path in sorted(directory.glob("callgrind.out.*")):
        label = summary = None
        with open(path, errors="replace") as dump:
            for line in dump:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line[len("desc: Trigger: Client Request: "):].rstrip("\n")
                elif line.startswith("summary:"):
                    summary = int(line.split()[1])
                    break
        if label is not None and summary is not None:
            dumps[label] = (summary, path)
    return dumps


def function_costs(path):
    """{(object, function): [self, inclusive]} of one dump, from callgrind's
    format: a cost line after `calls=` is the inclusive cost of that call,
    any other is the current function's own.  Recursion levels keep
    callgrind's names (`f'2` is f called from within f)."""
    names = {"ob": {}, "fn": {}}
    costs = {}
    current = (None, None)
    callee = None
    in_call = False
    obj = None
    call_obj = None

    def name(kind, text):
        text = text.strip()
        if text.startswith("("):
            number, _, rest = text.partition(")")
            if rest.strip():
                names[kind][number] = rest.strip()
            return names[kind].get(number, text)
        return text

    with open(path, errors="replace") as dump:
        for line in dump:
            if line[:1].isdigit() or line[:1] in "+-*":
                cost = int(line.split()[1]) if len(line.split()) > 1 else 0
                entry = costs.setdefault(current, [0, 0])
                if in_call:
                    if callee != current:
                        entry[1] += cost
                    in_call = False
                else:
                    entry[0] += cost
                    entry[1] += cost
            elif line.startswith("ob="):
                obj = name("ob", line[3:])
            elif line.startswith("fn="):
                current = (obj, name("fn", line[3:]))
                call_obj = None
            elif line.startswith("cob="):
                call_obj = name("ob", line[4:])
            elif line.startswith("cfn="):
                callee = (call_obj or obj, name("fn", line[4:]))
                call_obj = None
            elif line.startswith("calls="):
                in_call = True
    return costs


def symbol_tables():
    """{installed extension path: {address: name}} for this project's
    extensions, whose installed copies carry no symbols: the names come from
    the unstripped copy that CMake left in build/, used only when its code
    is byte for byte the installed one."""
    import quelbrin.async_ as package

    tables = {}
    for installed in pathlib.Path(package.__path__[0]).glob("*.so"):
        for candidate in (ROOT / "build").glob(f"cp*/{installed.name}"):
            try:
                with tempfile.TemporaryDirectory() as scratch:
                    texts = []
                    for index, binary in enumerate((installed, candidate)):
                        out = pathlib.Path(scratch) / str(index)
                        subprocess.run(["objcopy", "-O", "binary", "-j", ".text", str(binary), str(out)], check=True)
                        texts.append(out.read_bytes())
                if texts[0] != texts[1]:
                    continue
                listing = subprocess.run(["nm", "-C", "--defined-only", str(candidate)], check=True,
                                         capture_output=True, text=True).stdout
            except (OSError, subprocess.CalledProcessError):
                continue
            table = {}
            for line in listing.splitlines():
                address, _, rest = line.partition(" ")
                kind, _, symbol = rest.partition(" ")
                if kind.lower() == "t" and symbol:
                    table[int(address, 16)] = symbol
            tables[str(installed.resolve())] = table
    return tables


def readable(key, symbols):
    obj, function = key
    if obj not in (None, "???"):
        obj = str(pathlib.Path(obj).resolve())
    if function.startswith("0x") and obj in symbols:
        address, _, level = function.partition("'")
        symbol = symbols[obj].get(int(address, 16))
        if symbol:
            return symbol + (f"'{level}" if level else "")
    return function if obj in (None, "???") or not function.startswith("0x") else f"{pathlib.Path(obj).name}:{function}"


def breakdown(case, dumps, limit, symbols):
    """Per-operation instructions by function, inclusive and own, leaving
    out the frames that only enclose the measured loop."""
    small, large = (function_costs(dumps[label][1]) for label in case["labels"])
    operations = case["operations"]
    total = (dumps[case["labels"][1]][0] - dumps[case["labels"][0]][0]) / operations
    per_operation = {}
    for key in set(small) | set(large):
        before, after = small.get(key, [0, 0]), large.get(key, [0, 0])
        per_operation[key] = ((after[0] - before[0]) / operations, (after[1] - before[1]) / operations)
    ranked = sorted(((key, value) for key, value in per_operation.items()
                     if value[1] >= 0.5 and (value[1] < 0.98 * total or value[0] >= 0.5)),
                    key=lambda item: -item[1][1])
    lines = [f"  {'inclusive':>9} {'own':>7}  function (instructions per operation)"]
    for key, (own, inclusive) in ranked[:limit]:
        lines.append(f"  {inclusive:>9,.0f} {own:>7,.0f}  {readable(key, symbols)}")
    lines.append("  (a name ending in '2 is a call made from within a call of the same function; the inclusive\n"
                 "  figure of a function that recurs through others can count a nested call twice)")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The table


def figure_rows(per_operation):
    """(path, case, instructions, ratio, ratio's meaning, goal text, met) rows."""
    rows = []

    def add(path, case, reference=None, goal=None, goal_text="", compare="ratio"):
        if case not in per_operation or (reference and reference not in per_operation):
            return  # left out with --only
        value = per_operation[case]
        ratio = value / per_operation[reference] if reference else None
        met = None
        if goal is not None:
            met = (ratio if compare == "ratio" else value) <= goal
        rows.append({"path": path, "case": case.split(": ", 1)[1], "key": case, "instructions": value,
                     "ratio": ratio, "reference": reference.split(": ", 1)[1] if reference else None,
                     "goal": goal_text, "met": met})

    def add_lower_bound(prefix, k):
        # What no wrapper can go below at one call site: its one-class
        # figure plus what the interpreter's own site costs for several
        # classes, as a native method that does nothing per type shows.
        unlocked = f"inherited native pass-through, {k} instance(s), one call site"
        keys = (f"{prefix}: one class", f"{unlocked}: one class", f"{unlocked}: subclasses")
        if all(key in per_operation for key in keys):
            base, plain, plain_polymorphic = (per_operation[key] for key in keys)
            bound = base + plain_polymorphic - plain
            rows.append({"path": prefix, "case": "lower bound: one class + interpreter's share",
                         "key": f"{prefix}: lower bound", "instructions": bound, "ratio": bound / base,
                         "reference": "one class", "goal": "", "met": None})

    if "empty loop" in per_operation:
        rows.append({"path": "loop", "case": "empty loop", "key": "empty loop",
                     "instructions": per_operation["empty loop"], "ratio": None, "reference": None, "goal": "",
                     "met": None})
    for shape, goal in (("()", LOCKED_NO_ARGUMENTS_GOAL.get(VERSION)), ("(1, 2, c=3)", LOCKED_ARGUMENTS_GOAL)):
        for decorator in ("Lockable.locked", "locked", "LockableMeta"):
            prefix = f"locked {shape} via {decorator}"
            yardstick = f"{prefix}: yardstick"
            add(prefix, yardstick, yardstick)
            add(prefix, f"{prefix}: native", yardstick, goal, f"<= {goal:.2f}x")
            add(prefix, f"{prefix}: floor", yardstick)
            add(prefix, f"{prefix}: floor, block positional", yardstick)
    for method, sites in (("locked", "separate call sites"), ("locked", "one call site"),
                          ("unlocked", "one call site"), ("native pass-through", "one call site")):
        for k in (2, 3, 4):
            noun = "" if method.endswith("pass-through") else " method"
            prefix = f"inherited {method}{noun}, {k} instance(s), {sites}"
            add(prefix, f"{prefix}: one class", f"{prefix}: one class")
            if method == "locked":
                add(prefix, f"{prefix}: subclasses", f"{prefix}: one class", POLYMORPHIC_GOAL,
                    f"<= {POLYMORPHIC_GOAL:.2f}x")
                if sites == "one call site":
                    add_lower_bound(prefix, k)
            else:
                add(prefix, f"{prefix}: subclasses", f"{prefix}: one class")
    prefix = "_build_arguments, per instance"
    python = f"{prefix}: Python rendering"
    add(prefix, python, python)
    add(prefix, f"{prefix}: native", python, BUILD_ARGUMENTS_GOAL_INSTRUCTIONS,
        f"<= {BUILD_ARGUMENTS_GOAL_INSTRUCTIONS:,} (<= {BUILD_ARGUMENTS_GOAL_RATIO:.2f}x)", compare="instructions")
    add(prefix, f"{prefix}: floor", python)
    prefix = "Pcall(f, iargs=...), per child"
    python = f"{prefix}: Python rendering"
    add(prefix, python, python)
    add(prefix, f"{prefix}: native", python, CONSTRUCTION_GOAL, f"<= {CONSTRUCTION_GOAL:.2f}x")
    add(prefix, f"{prefix}: bare Process set-up", python)
    return rows


def print_table(rows):
    header = ("Path", "Case", "Instr/op", "Ratio", "to", "Goal", "Met")
    lines = []
    previous = None
    for row in rows:
        ratio = f"{row['ratio']:.3f}x" if row["ratio"] is not None else ""
        met = "" if row["met"] is None else ("yes" if row["met"] else "NO")
        path = row["path"] if row["path"] != previous else ""
        previous = row["path"]
        lines.append((path, row["case"], f"{row['instructions']:,.1f}", ratio, row["reference"] or "", row["goal"], met))
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    for line in [header, tuple("-" * w for w in widths), *lines]:
        print(" | ".join(cell.rjust(w) if i in (2, 3) else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--measure", nargs=2, metavar=("GROUP", "PLAN"), help=argparse.SUPPRESS)
    parser.add_argument("--only", metavar="TEXT", action="append", default=[],
                        help="measure only the cases whose name contains TEXT")
    parser.add_argument("--breakdown", metavar="TEXT", action="append", default=[],
                        help="also print where the instructions of the cases whose name contains TEXT go")
    parser.add_argument("--limit", type=int, default=30, help="functions per breakdown (default 30)")
    parser.add_argument("--keep", metavar="DIR", help="keep callgrind's dumps in DIR")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="processes measured at once (default: the number of CPUs)")
    options = parser.parse_args()
    if options.measure:
        measured_process(*options.measure, options.only)
        return

    if sys.implementation.name != "cpython" or sys.version_info[:2] not in ((3, 12), (3, 13)):
        sys.exit("the instruction counts are taken on CPython 3.12 and 3.13, with the package installed: "
                 "run make bench-instructions")
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed: the instruction counts need valgrind --tool=callgrind")
    started = time.perf_counter()
    native = build_native()
    directory = pathlib.Path(options.keep) if options.keep else pathlib.Path(tempfile.mkdtemp(prefix="quelbrin-ir-"))
    # Hash randomisation would change the layout of dicts and sets, and so
    # the counts, from run to run.
    environment = dict(os.environ, PYTHONHASHSEED="0",
                       PYTHONPATH=os.pathsep.join(str(path) for path in (native, HERE, ROOT / "tests")))

    def measure_group(index_and_group):
        index, group = index_and_group
        place = directory / str(index)
        shutil.rmtree(place, ignore_errors=True)
        place.mkdir(parents=True)
        status = subprocess.run(["valgrind", "--tool=callgrind", "--quiet", "--instr-atstart=no",
                                 f"--callgrind-out-file={place}/callgrind.out", sys.executable, __file__,
                                 "--measure", group, str(place / "plan.json"),
                                 *(f"--only={text}" for text in options.only)],
                                env=environment).returncode
        if status != 0:
            sys.exit(f"measuring the group {group!r} failed (exit status {status}); its output is above")
        return json.loads((place / "plan.json").read_text()), read_dumps(place)

    try:
        with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
            measured = list(pool.map(measure_group, enumerate(GROUPS)))
        plan = [case for cases, _ in measured for case in cases]
        dumps = {label: dump for _, group_dumps in measured for label, dump in group_dumps.items()}
        per_operation = {}
        for case in plan:
            small, large = (dumps[label][0] for label in case["labels"])
            per_operation[case["case"]] = (large - small) / case["operations"]
        rows = figure_rows(per_operation)
        elapsed = time.perf_counter() - started
        print(f"python {platform.python_version()}: instructions per operation, (Ir(2N) - Ir(N)) / N "
              f"under callgrind, {elapsed:.0f} s")
        print_table(rows)
        symbols = symbol_tables() if options.breakdown else {}
        for text in options.breakdown:
            for case in plan:
                if text in case["case"]:
                    print(f"\n{case['case']}: {per_operation[case['case']]:,.1f} instructions per operation")
                    print(breakdown(case, dumps, options.limit, symbols))
    finally:
        if not options.keep:
            shutil.rmtree(directory, ignore_errors=True)

    output = HERE / f"instructions-{VERSION}.json"
    output.write_text(json.dumps({
        "python": sys.version,
        "platform": platform.platform(),
        "method": "(Ir(2N) - Ir(N)) / N under callgrind, counters zeroed and dumped around each region; "
                  "one process per group of cases; PYTHONHASHSEED=0",
        "elapsed_s": elapsed,
        "per_operation": per_operation,
        "figures": rows,
    }, indent=1) + "\n")
    print(f"\nwritten to {output}")


if __name__ == "__main__":
    main()
