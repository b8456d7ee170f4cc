"""tarvek-record under a full-rate control loop against the simulated controller:

- completeness: a 1 kHz do_action/get_obs loop (with a 1 kHz gamepad) for --seconds,
  recorded, and every topic's count compared with what the controller reports receiving
  and sending, plus the action values in order;
- memory: the recorder's resident set size at the start and end of a --rss-seconds
  recording of the same load, and every minute in between;
- first gains (--first-gains N): N programs, one after another, each a process of its own
  that builds a Robot, sets gains once (different in every program) and runs 2,000
  get_obs/do_action at 1 kHz, with one recorder started before the first; counts the
  programs whose gains the recorder has. Then the same with a recorder started after each
  program's set_gains;
- round trip (--round-trip R): the get_obs median without a recorder, with one, and with one
  at lower priorities, in R alternating rounds; beside it the floor, ddsperf's ping-pong
  with one and with two pong processes (each ping delivered to two readers).

Prints figures; asserts nothing.

    .venv/bin/python bench/record_bench.py [--seconds 60] [--rss-seconds 600] [--domain 70]
                                           [--first-gains N] [--round-trip R]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
os.environ.setdefault("CYCLONEDDS_URI", f"file://{ROOT / 'config' / 'cyclonedds-loopback.xml'}")
BIN = Path(sys.prefix) / "bin"
TOPICS = ("user_mode", "user_command", "user_action", "user_gains", "user_obs_request", "user_obs")


def wait_text(path: Path, text: str, timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while text not in path.read_text():
        if time.monotonic() > deadline:
            raise SystemExit(f"no {text!r} in {path}: {path.read_text()[-2000:]}")
        time.sleep(0.01)


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def run(domain: int, seconds: float, tmp: Path, on_minute=None) -> dict:
    import robot

    sim_log, rec_log, out = tmp / "sim.jsonl", tmp / "rec.log", tmp / "run.mcap"
    with open(sim_log, "wb") as slog, open(rec_log, "wb") as rlog:
        sim = subprocess.Popen([str(BIN / "tarvek-sim"), "--domain", str(domain), "--trace-obs"],
                               stdin=subprocess.PIPE, stdout=slog, stderr=subprocess.STDOUT)
        rec = None
        try:
            wait_text(sim_log, '"ready"')
            rec = subprocess.Popen([str(BIN / "tarvek-record"), "--domain", str(domain), "-o", str(out)],
                                   stdout=rlog, stderr=subprocess.STDOUT)
            wait_text(rec_log, "user_obs: 1 writer")
            r = robot.Robot(domain)
            for topic in ("user_mode", "user_action", "user_gains", "user_obs_request"):
                wait_text(rec_log, f"{topic}: 1 writer")
            sim.stdin.write(b'{"cmd":"gamepad","mode":"demo","rate":1000}\n')
            sim.stdin.flush()
            r.set_gains([20.0] * 4, [0.5] * 4)
            rss_start = None
            start = time.perf_counter()
            next_t, next_minute, i = start, start + 60, 0
            while next_t - start < seconds:
                r.do_action([float(i), 0.0, 0.0, 0.0])
                r.get_obs()
                i += 1
                if rss_start is None and i == 2000:  # past start-up allocations
                    rss_start = rss_kib(rec.pid)
                if on_minute and next_t >= next_minute:
                    on_minute(next_t - start, rss_kib(rec.pid))
                    next_minute += 60
                next_t += 0.001
                while time.perf_counter() < next_t:
                    pass
            loop_s = time.perf_counter() - start
            rss_end = rss_kib(rec.pid)
            r.finish()
            del r
            sim.stdin.write(b'{"cmd":"gamepad","mode":"none"}\n')
            sim.stdin.flush()
            time.sleep(0.5)
            rec.send_signal(signal.SIGINT)
            rec.wait(timeout=60)
        finally:
            if rec is not None and rec.poll() is None:
                rec.kill()
            sim.terminate()
            sim.wait(timeout=10)

    events = [json.loads(line) for line in sim_log.read_text().splitlines() if line.startswith("{")]
    expected = {t: 0 for t in TOPICS}
    for e in events:
        if e.get("event") == "sample":
            expected[e["topic"]] += 1
        elif e.get("event") == "published":
            expected[e["topic"]] += 1

    # Counted from the file's index and streamed, so a long recording need not fit in memory.
    from mcap.reader import make_reader

    from tarvek_record.runfile import decode

    with open(out, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        complete = summary is not None and summary.statistics is not None
        by_id = {c.id: c.topic for c in summary.channels.values()}
        recorded = {t: 0 for t in TOPICS}
        for cid, n in summary.statistics.channel_message_counts.items():
            recorded[by_id[cid]] = n
        schema = next(summary.schemas[c.schema_id].data.decode()
                      for c in summary.channels.values() if c.topic == "user_action")
        actions = [decode(schema, m.data)["value"][0]
                   for _, _, m in reader.iter_messages(topics=["user_action"])]
    # A writer nobody here created (another program on the same domain) would add samples
    # the controller did not report; the recorder's log says how many writers it heard.
    writers = {t: max([int(w) for w in re.findall(rf"^{t}: (\d+) writer", rec_log.read_text(), re.M)] or [0])
               for t in TOPICS}
    return {"loops": i, "loop_s": loop_s, "expected": expected, "recorded": recorded, "writers": writers,
            "actions_in_order": actions == [float(k) for k in range(i)] + [float(i - 1)],
            "complete": complete, "bytes": out.stat().st_size,
            "rss_start": rss_start, "rss_end": rss_end}


def print_counts(res: dict) -> None:
    print(f"{'topic':18} {'controller':>10} {'recorded':>9} {'missing':>8} {'writers':>8}")
    for t in TOPICS:
        e, g = res["expected"][t], res["recorded"][t]
        print(f"{t:18} {e:10d} {g:9d} {e - g:8d} {res['writers'][t]:8d}")
    print(f"action values recorded in order, none missing: {res['actions_in_order']}")
    extra = [t for t in TOPICS if res["recorded"][t] > res["expected"][t]]
    if extra:
        # With a keep-last 1 writer a sample the controller's reader missed is not resent;
        # the recorder's reader can still have it.
        print(f"recorded more than the controller reports on {', '.join(extra)}: samples the "
              f"controller did not receive")


PROGRAM = """
import sys, time, robot
r = robot.Robot(int(sys.argv[1]))
r.set_gains([float(sys.argv[2])] * 4, [0.5] * 4)
print("gains set", flush=True)
next_t = time.perf_counter()
for i in range(int(sys.argv[3])):
    r.get_obs()
    r.do_action([0.35, 0.35, 0.0, 0.0])
    next_t += 0.001
    while time.perf_counter() < next_t:
        pass
r.finish()
"""


def recorded_gains(path: Path) -> list[float]:
    from tarvek_record.runfile import decoded, load

    run = load(path)
    return [g["kp"][0] for _, g in decoded(run, "user_gains")] if "user_gains" in run.schemas else []


def first_gains(domain: int, runs: int, tmp: Path) -> tuple[int, int]:
    """(programs whose gains a recorder started before them has, those whose gains a
    recorder started after their set_gains has), each out of `runs`."""
    env = {**os.environ, "TMPDIR": str(tmp)}
    sim_log = tmp / "sim.jsonl"
    with open(sim_log, "wb") as slog:
        sim = subprocess.Popen([str(BIN / "tarvek-sim"), "--domain", str(domain)],
                               stdin=subprocess.PIPE, stdout=slog, stderr=subprocess.STDOUT)
        try:
            wait_text(sim_log, '"ready"')
            # One recorder, started 1.5 s before the first program, hears every program.
            out, rec_log = tmp / "before.mcap", tmp / "before.log"
            with open(rec_log, "wb") as rlog:
                rec = subprocess.Popen([str(BIN / "tarvek-record"), "--domain", str(domain), "-o", str(out)],
                                       stdout=rlog, stderr=subprocess.STDOUT)
                wait_text(rec_log, "user_obs: 1 writer")
                time.sleep(1.5)
                for k in range(runs):
                    subprocess.run([sys.executable, "-c", PROGRAM, str(domain), str(k + 1), "2000"],
                                   env=env, check=True, timeout=60, stdout=subprocess.DEVNULL)
                time.sleep(0.5)
                rec.send_signal(signal.SIGINT)
                rec.wait(timeout=60)
            before = len(set(recorded_gains(out)) & {float(k + 1) for k in range(runs)})
            # A recorder started once the program has set its gains, for each program.
            after = 0
            for k in range(runs):
                prog = subprocess.Popen([sys.executable, "-c", PROGRAM, str(domain), str(k + 1), "3000"],
                                        env=env, stdout=subprocess.PIPE, text=True)
                try:
                    prog.stdout.readline()  # "gains set"
                    out, rec_log = tmp / f"after{k}.mcap", tmp / f"after{k}.log"
                    with open(rec_log, "wb") as rlog:
                        rec = subprocess.run([str(BIN / "tarvek-record"), "--domain", str(domain), "-o", str(out),
                                              "--duration", "1"], stdout=rlog, stderr=subprocess.STDOUT, timeout=60)
                    after += recorded_gains(out) == [float(k + 1)]
                finally:
                    prog.wait(timeout=60)
        finally:
            sim.terminate()
            sim.wait(timeout=10)
    return before, after


def round_trip(domain: int, rounds: int, calls: int) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import statistics

    import sdk_bench

    def with_recorder_args(extra: list[str]):
        def run(d: int) -> float:
            with tempfile.TemporaryDirectory() as tmp:
                rec = subprocess.Popen([str(BIN / "tarvek-record"), "--domain", str(d), "-o",
                                        str(Path(tmp) / "rt.mcap"), *extra], stderr=subprocess.PIPE, text=True)
                try:
                    rec.stderr.readline()  # "recording ...": its readers exist
                    return sdk_bench.bench_get_obs(d, calls)[0]
                finally:
                    rec.terminate()
                    rec.communicate(timeout=30)
        return run

    def with_recorder_at(nice: int):
        return with_recorder_args(["--nice", str(nice)])

    variants = {"no recorder": lambda d: sdk_bench.bench_get_obs(d, calls)[0],
                "tarvek-record --nice 0": with_recorder_at(0),
                "tarvek-record (nice 10, the default)": with_recorder_at(10),
                "tarvek-record --nice 19": with_recorder_at(19)}
    medians: dict[str, list[float]] = {k: [] for k in variants}
    for r in range(rounds):
        for i, (name, fn) in enumerate(variants.items()):
            medians[name].append(fn(domain + i))
        print(f"round {r + 1}: " + ", ".join(f"{k} {v[-1]:.1f} us" for k, v in medians.items()), flush=True)
    base = statistics.median(medians["no recorder"])
    for name, values in medians.items():
        m = statistics.median(values)
        print(f"get_obs median, {name}: {m:.1f} us ({m - base:+.1f} us)")

    def ddsperf(d: int, pongs: int, seconds: int = 6):
        procs = [subprocess.Popen(["ddsperf", "-i", str(d), "pong", "waitset"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL) for _ in range(pongs)]
        try:
            out = subprocess.run(["ddsperf", "-i", str(d), "-D", str(seconds), "ping", "size", "160", "waitset"],
                                 capture_output=True, text=True, timeout=seconds + 30).stdout
        finally:
            for p in procs:
                p.terminate()
                p.wait(timeout=10)
        rows = [2 * float(m.group(1)) for m in sdk_bench._LINE.finditer(out)][1:]
        return statistics.median(rows) if rows else float("nan")

    one = [ddsperf(domain + 10, 1) for _ in range(rounds)]
    two = [ddsperf(domain + 10, 2) for _ in range(rounds)]
    print(f"ddsperf ping-pong round trip (waitset, 160 B): one pong {statistics.median(one):.1f} us, "
          f"two pongs {statistics.median(two):.1f} us ({statistics.median(two) - statistics.median(one):+.1f} us "
          f"for the second reader of each ping)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--rss-seconds", type=float, default=600, help="0 skips the memory run")
    ap.add_argument("--domain", type=int, default=70)
    ap.add_argument("--first-gains", type=int, default=0, metavar="N",
                    help="only count the gains recorded from N programs (see above)")
    ap.add_argument("--round-trip", type=int, default=0, metavar="R",
                    help="only compare the get_obs round trip with and without a recorder, R rounds")
    ap.add_argument("--calls", type=int, default=5000, help="get_obs calls per round (--round-trip)")
    args = ap.parse_args()

    if args.round_trip:
        round_trip(args.domain, args.round_trip, args.calls)
        return
    if args.first_gains:
        with tempfile.TemporaryDirectory() as tmp:
            before, after = first_gains(args.domain, args.first_gains, Path(tmp))
        print(f"first gains recorded by a recorder started before the program: {before} of {args.first_gains}")
        print(f"gains in force recorded by a recorder started after set_gains: {after} of {args.first_gains}")
        return

    with tempfile.TemporaryDirectory() as tmp:
        os.environ["TMPDIR"] = tmp
        res = run(args.domain, args.seconds, Path(tmp))
    print(f"completeness: {res['loops']} loops in {res['loop_s']:.1f} s "
          f"({res['loops'] / res['loop_s']:.0f} Hz), file {res['bytes'] / 1e6:.1f} MB, "
          f"complete and indexed: {res['complete']}")
    print_counts(res)

    if args.rss_seconds > 0:
        with tempfile.TemporaryDirectory() as tmp:
            os.environ["TMPDIR"] = tmp
            res = run(args.domain + 1, args.rss_seconds, Path(tmp),
                      on_minute=lambda t, kib: print(f"  recorder RSS at {t:5.0f} s: {kib / 1024:.1f} MiB",
                                                     flush=True))
        print(f"memory over {res['loop_s']:.0f} s at {res['loops'] / res['loop_s']:.0f} Hz: recorder RSS "
              f"{res['rss_start'] / 1024:.1f} MiB at the start, {res['rss_end'] / 1024:.1f} MiB at the end; "
              f"file {res['bytes'] / 1e6:.0f} MB, complete and indexed: {res['complete']}")
        print_counts(res)


if __name__ == "__main__":
    main()
