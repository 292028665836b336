"""Many logins at once: quorlix's lanes and its Pool against direct calls.

Prints each ratio beside its target, in one run on this machine:

- lanes: hashpw_many over 2, 4 and LANES passwords of one cost, the time
  per hash against crypt(3)'s single hash, interleaved;
- pool: CALLERS threads each calling Pool.checkpw in a loop for SECONDS,
  against as many threads calling quorlix.checkpw, logins per second and
  median latency;
- a lone call through the pool against a direct one, interleaved;
- asyncio: 64 concurrent checkpw_async awaits, while a ticker task measures
  how late the event loop wakes it (its 99th percentile, beside the same
  ticker's on an idle loop: a virtual machine stalls now and then anyway).

With matplotlib installed it plots logins per second and p50/p99 latency
against the number of concurrent callers, pool and direct, into
build/benchmarks/throughput.png (--out changes where). Needs quorlix
installed (pip install .) and the C library's crypt(3). Run it on an
otherwise idle machine.

    python benchmarks/throughput.py            # every row and the plot, about 5 minutes
    python benchmarks/throughput.py --quick    # shorter runs, no plot
"""

import argparse
import asyncio
import os
import statistics
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import quorlix  # noqa: E402
from quorlix._batch import LANES  # noqa: E402
from run import Report, cpu_model, interleaved, libcrypt, load_average  # noqa: E402

PASSWORD = b"correct horse battery staple"


def bench_lanes(report, crypt, cost, reps):
    setting = quorlix.gensalt(cost)
    want = crypt(PASSWORD, setting)
    widths = sorted({2, 4, LANES})
    targets = {2: 0.55}  # 0.40 from four lanes on

    def many(n):
        out = quorlix.hashpw_many([PASSWORD] * n, [setting] * n)
        assert out == [want] * n
        return out

    times = interleaved([lambda: crypt(PASSWORD, setting), *[lambda n=n: many(n) for n in widths]], reps)
    single = times[0]
    for n, t in zip(widths, times[1:], strict=True):
        report.add(
            f"hashpw_many, {n} lanes, per hash / crypt(3)",
            t / n / single,
            targets.get(n, 0.40),
            f"cost {cost}: {t / n * 1e3:.1f} ms per hash vs {single * 1e3:.1f} ms",
        )


def logins(check, callers, seconds, stored):
    """Logins per second and every call's latency, CALLERS threads calling
    check(password, stored) in a loop for SECONDS."""
    latencies = [[] for _ in range(callers)]
    start = threading.Barrier(callers + 1)
    deadline = [0.0]

    def caller(mine):
        start.wait()
        while (t := time.perf_counter()) < deadline[0]:
            assert check(PASSWORD, stored)
            mine.append(time.perf_counter() - t)

    threads = [threading.Thread(target=caller, args=(lat,)) for lat in latencies]
    for t in threads:
        t.start()
    began = time.perf_counter()
    deadline[0] = began + seconds
    start.wait()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - began
    every = sorted(x for lat in latencies for x in lat)
    return len(every) / elapsed, every


def percentile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def bench_pool(report, pool, cost, callers, seconds):
    stored = quorlix.hashpw(PASSWORD, quorlix.gensalt(cost))
    direct_rate, direct = logins(quorlix.checkpw, callers, seconds, stored)
    pooled_rate, pooled = logins(pool.checkpw, callers, seconds, stored)
    cores = os.cpu_count() or 1
    report.add(
        f"Pool, {callers} threads: logins per second / direct calls",
        pooled_rate / direct_rate,
        2.3,
        f"cost {cost}, {seconds:g} s, {cores} cores: {pooled_rate:.1f}/s vs {direct_rate:.1f}/s",
        lower_is_better=False,
    )
    p50, d50 = statistics.median(pooled), statistics.median(direct)
    report.add(
        f"Pool, {callers} threads: median latency / direct calls",
        p50 / d50,
        1.0,
        f"{p50 * 1e3:.0f} ms vs {d50 * 1e3:.0f} ms; p99 {percentile(pooled, 0.99) * 1e3:.0f} ms"
        f" vs {percentile(direct, 0.99) * 1e3:.0f} ms",
    )


def bench_lone_call(report, pool, cost, reps):
    stored = quorlix.hashpw(PASSWORD, quorlix.gensalt(cost))
    through, direct = interleaved(
        [lambda: pool.checkpw(PASSWORD, stored), lambda: quorlix.checkpw(PASSWORD, stored)], reps
    )
    report.add(
        "Pool, a lone call / a direct call",
        through / direct,
        1.03,
        f"cost {cost}: {through * 1e3:.2f} ms vs {direct * 1e3:.2f} ms",
    )


def loop_lags(work):
    """How late a ticker task woke, every millisecond, while work() ran."""

    async def main():
        lags = []
        stop = asyncio.Event()

        async def ticker():
            while not stop.is_set():
                t = time.perf_counter()
                await asyncio.sleep(0.001)
                lags.append(time.perf_counter() - t - 0.001)

        tick = asyncio.create_task(ticker())
        began = time.perf_counter()
        await work()
        elapsed = time.perf_counter() - began
        stop.set()
        await tick
        return sorted(lags), elapsed

    return asyncio.run(main())


def bench_asyncio(report, pool, cost, awaits):
    stored = quorlix.hashpw(PASSWORD, quorlix.gensalt(cost))

    async def logins():
        assert all(await asyncio.gather(*(pool.checkpw_async(PASSWORD, stored) for _ in range(awaits))))

    lags, elapsed = loop_lags(logins)
    # The same ticker with nothing else running: a virtual machine's own
    # stalls (the hypervisor's) show here too, so the worst tick is no measure.
    idle, _ = loop_lags(lambda: asyncio.sleep(elapsed))
    report.add(
        f"asyncio, {awaits} concurrent awaits: the event loop's p99 lag, ms",
        percentile(lags, 0.99) * 1e3,
        5,
        f"cost {cost}, {len(lags)} ticks in {elapsed:.2f} s: worst {lags[-1] * 1e3:.1f} ms; "
        f"idle loop p99 {percentile(idle, 0.99) * 1e3:.1f} ms, worst {idle[-1] * 1e3:.1f} ms",
    )


def curve(pool, cost, seconds, counts):
    stored = quorlix.hashpw(PASSWORD, quorlix.gensalt(cost))
    points = []
    for n in counts:
        row = [n]
        for check in (quorlix.checkpw, pool.checkpw):
            rate, lat = logins(check, n, seconds, stored)
            row += [rate, percentile(lat, 0.5), percentile(lat, 0.99)]
        print(f"  {n:3d} callers: direct {row[1]:6.1f}/s, pool {row[4]:6.1f}/s", flush=True)
        points.append(row)
    return points


def plot(points, cost, machine, out):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    n = [p[0] for p in points]
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    a.plot(n, [p[1] for p in points], "s--", label="direct checkpw")
    a.plot(n, [p[4] for p in points], "o-", label="Pool.checkpw")
    a.set_ylabel("logins per second")
    a.set_title(f"throughput, cost {cost}")
    a.set_ylim(bottom=0)
    for i, (label, style) in enumerate((("direct", "s--"), ("Pool", "o-"))):
        b.plot(n, [p[2 + 3 * i] * 1e3 for p in points], style, label=f"{label} p50")
        b.plot(n, [p[3 + 3 * i] * 1e3 for p in points], style, alpha=0.5, label=f"{label} p99")
    b.set_yscale("log")
    b.set_ylabel("latency, milliseconds")
    b.set_title("latency of one call")
    for ax in (a, b):
        ax.set_xscale("log", base=2)
        ax.set_xticks(n, [str(x) for x in n])
        ax.set_xlabel("concurrent callers")
        ax.legend()
    fig.suptitle(machine, fontsize=8)
    fig.tight_layout()
    fig.savefig(out / "throughput.png", dpi=110)
    print(f"plot written to {out / 'throughput.png'}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="shorter runs, smaller costs, no plot")
    ap.add_argument("--seconds", type=float, default=None, help="length of each pool run (default 10, quick 2)")
    ap.add_argument("--out", type=Path, default=HERE.parent / "build" / "benchmarks", help="where the plot goes")
    args = ap.parse_args()
    seconds = args.seconds or (2 if args.quick else 10)
    reps = 5 if args.quick else 9
    crypt = libcrypt()
    report = Report()
    machine = f"{os.cpu_count()} cores, {cpu_model()}, Python {sys.version.split()[0]}"
    print(f"quorlix {quorlix.__version__} on {machine}, {LANES} lanes")
    load_before = load_average()
    print(f"load average {load_before}; other work on the machine skews the ratios\n", flush=True)

    bench_lanes(report, crypt, 10 if args.quick else 12, reps)
    with quorlix.Pool() as pool:
        bench_pool(report, pool, 10, 16, seconds)
        bench_lone_call(report, pool, 10, reps * 3)
        bench_asyncio(report, pool, 10, 64)
        points = None if args.quick else curve(pool, 10, seconds / 2, (1, 2, 4, 8, 16, 32, 64))

    md = f"Machine: {machine}; load average {load_before} before, {load_average()} after\n\n{report.markdown()}\n"
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "throughput.md").write_text(md)
    print("\n" + md)
    if points:
        plot(points, 10, machine, args.out)


if __name__ == "__main__":
    sys.exit(main())
