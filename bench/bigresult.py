"""One large result taken by the caller, in a fresh process: run by ``bench/run.py --only=bigresult``.

    python bench/bigresult.py get [MiB]    # a plain fork-context SimpleQueue.get()
    python bench/bigresult.py join [MiB]   # Pcall.pcall(), whose join() reads the queue

Either way one forked child makes a bytes object of MiB mebibytes (100 by
default) and puts it on a fork-context SimpleQueue, and this process takes
it.  Printed, as JSON: the seconds from just before the child is started to
the result in hand (the child reaped), the processor time this process
spent meanwhile, and its peak resident set (VmHWM) in KiB, before and after.  The child's memory is its own and not
counted.  join() polls with its `time.sleep` looking at the children every
millisecond instead of every quarter second, as in the "poll set aside"
figures of run.py, so that the quarter-second poll does not hide the reading.
"""

import json
import multiprocessing
import resource
import sys
import time

fork = multiprocessing.get_context("fork")


def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def make_result(size):
    return b"x" * size


def put_result(queue, size):
    queue.put(make_result(size))


def plain_get(size):
    queue = fork.SimpleQueue()
    child = fork.Process(target=put_result, args=(queue, size))
    child.start()
    result = queue.get()
    child.join()
    return result


class QuickPoll:
    time = staticmethod(time.time)

    @staticmethod
    def sleep(seconds):
        time.sleep(min(seconds, 0.001))


def through_join(size):
    from quelbrin.async_ import tandemix

    tandemix.time = QuickPoll()
    (result,) = tandemix.Pcall.pcall(make_result, iargs=[(size,)])
    return result


CASES = {"get": plain_get, "join": through_join}


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    case = CASES[sys.argv[1]]
    size = int(sys.argv[2] if len(sys.argv) > 2 else 100) * 2**20
    if case is through_join:
        # Imported before the measurement, as a framework process has them.
        import quelbrin.async_.tandemix  # noqa: F401
        import quelbrin.trevask.signals  # noqa: F401
        import quelbrin.trevask.steps  # noqa: F401
    before = peak_kib()
    cpu_start = cpu_seconds()
    start = time.perf_counter()
    result = case(size)
    seconds = time.perf_counter() - start
    cpu = cpu_seconds() - cpu_start
    assert len(result) == size
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu, "peak_kib": peak_kib(), "peak_before_kib": before}))


if __name__ == "__main__":
    main()
