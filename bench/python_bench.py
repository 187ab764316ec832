# The Python package's figures for scripts/bench, as ratios within one run.
#
#   python_bench.py read    RUX NAME TOOL ROUNDS    read() against rux-extract -O -j 1
#   python_bench.py seek    RUX NAME ZIP            1000 random 4 KiB reads via open(), and zipfile's
#   python_bench.py threads RUX ROUNDS              4 threads reading its 4 largest resources against one
import os
import random
import statistics
import subprocess
import sys
import threading
import time
import zipfile

import rux


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def verdict(ok):
    return "meets" if ok else "MISSES"


def bench_read(path, name, tool, rounds):
    # Each as a fresh process, so each pays its own start alike. read()
    # cuts a long read across one thread per core; the one-thread figure
    # is beside it.
    script = "import rux, sys; rux.ResourceFile(sys.argv[1]).read(sys.argv[2])"
    single = ("import rux, sys; f = rux.ResourceFile(sys.argv[1]); "
              "f._core.read_range(f.getinfo(sys.argv[2]).slot, 0, -1, 1)")
    ours, one, theirs = [], [], []
    for _ in range(rounds):
        ours.append(timed(lambda: subprocess.run([sys.executable, "-c", script, path, name], check=True)))
        one.append(timed(lambda: subprocess.run([sys.executable, "-c", single, path, name], check=True)))
        with open(os.devnull, "wb") as sink:
            theirs.append(timed(lambda: subprocess.run([tool, "-O", "-j", "1", path], stdout=sink, check=True)))
    a, b, c = statistics.median(ours), statistics.median(theirs), statistics.median(one)
    print("python read() %.3f s, rux-extract -O -j 1 > /dev/null %.3f s: %.2f  (target <= 1.2: %s)"
          % (a, b, a / b, verdict(a / b <= 1.2)))
    print("python read() on one thread %.3f s: %.2f of rux-extract -O -j 1" % (c, c / b))


def random_reads(handle, size, count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        handle.seek(rng.randrange(size - 4096))
        handle.read(4096)


def bench_seek(path, name, zip_path):
    with rux.ResourceFile(path) as f, f.open(name) as h:
        size = h.size
        took = timed(lambda: random_reads(h, size, 1000, 1))
    print("python open(): 1000 random 4 KiB reads of %d MiB in %.3f s  (target < 0.2 s: %s)"
          % (size >> 20, took, verdict(took < 0.2)))
    # zipfile inflates again from the start for every seek backwards: a
    # few reads show its rate.
    count = 10
    with zipfile.ZipFile(zip_path) as z, z.open(name) as h:
        took = timed(lambda: random_reads(h, size, count, 1))
    print("CPython zipfile: %d random 4 KiB reads in %.3f s (%.3f s each; about %.0f s for 1000)"
          % (count, took, took / count, took / count * 1000))


def bench_threads(path, rounds):
    with rux.ResourceFile(path) as f:
        largest = sorted(f.infolist(), key=lambda i: i.size, reverse=True)[:4]
        slots = [i.slot for i in largest]

        # Each read on one thread (jobs 1), so that the threads are the only parallelism.
        def read(slot):
            f._core.read_range(slot, 0, -1, 1)

        def one_thread():
            for slot in slots:
                read(slot)

        def four_threads():
            threads = [threading.Thread(target=read, args=(slot,)) for slot in slots]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        one = statistics.median(timed(one_thread) for _ in range(rounds))
        four = statistics.median(timed(four_threads) for _ in range(rounds))
    mib = sum(i.size for i in largest) >> 20
    print("python 4 threads reading 4 resources (%d MiB): %.3f s, one thread %.3f s: %.2fx"
          "  (target >= 1.6x on %d cores: %s)" % (mib, four, one, one / four, os.cpu_count(),
                                                   verdict(one / four >= 1.6)))


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "read":
        bench_read(args[0], args[1], args[2], int(args[3]))
    elif what == "seek":
        bench_seek(args[0], args[1], args[2])
    else:
        bench_threads(args[0], int(args[1]))
