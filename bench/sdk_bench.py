"""The SDK's hot paths against the simulated controller, on the loopback configuration:

- Robot.get_obs round trip, beside the raw DDS round trip of ddsperf's wait-set ping-pong
  with a payload of an observation's size (the same kind of wake-up get_obs uses);
- Joystick.get_cmd when a command is pending, and Joystick() construction with the
  configuration service present.

With DDS Security (keys made by tarvek-keys, real plugins), the same round trip and the
same ddsperf ping-pong with whole messages encrypted and with only the payload encrypted,
and the time from Robot() to the first observation with and without security.

Every wait of both modules also asks Python at least every 100 ms whether a signal handler
wants the call to stop, and every call checks that it runs in the process that made the
object. To see what that costs on the round trip, save the figures of a build without it
(--save) and compare a later run with them (--before).

Prints figures and ratios; asserts nothing.

    .venv/bin/python bench/sdk_bench.py [--calls 10000] [--domain 120]
                                        [--get-obs-only] [--security-only]
                                        [--save F] [--before F]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
os.environ.setdefault("CYCLONEDDS_URI", f"file://{ROOT / 'config' / 'cyclonedds-loopback.xml'}")


def percentile(sorted_values: list[float], p: float) -> float:
    k = min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))
    return sorted_values[k]


def start_sim(domain: int, *args: str, uri: str | None = None) -> subprocess.Popen:
    exe = Path(sys.prefix) / "bin" / "tarvek-sim"
    env = {**os.environ, "CYCLONEDDS_URI": uri} if uri else None
    proc = subprocess.Popen([str(exe), "--domain", str(domain), *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=env)
    for line in proc.stdout:
        if '"ready"' in line:
            break
    # Keep reading so the simulator never blocks on a full pipe.
    import threading

    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    return proc


def bench_call_overhead(domain: int, batches: int = 30, per_batch: int = 20000) -> float:
    """Median cost of one call that does no DDS work (finish with user mode off): the
    binding, the process check and the stop-check plumbing every call carries, without the
    noise of a round trip on a shared machine."""
    import robot

    with tempfile.TemporaryDirectory() as tmp:
        os.environ["TMPDIR"] = tmp
        r = robot.Robot(domain)
        medians = []
        clock = time.perf_counter_ns
        for _ in range(batches):
            t0 = clock()
            for _ in range(per_batch):
                r.finish()
            medians.append((clock() - t0) / per_batch / 1000.0)
        del r
    return statistics.median(medians)


@contextlib.contextmanager
def sdk_uri(uri: str | None):
    """The configuration this process's next DDS domain is created with (Cyclone reads
    CYCLONEDDS_URI whenever it creates a domain, and a Robot's goes with it)."""
    before = os.environ["CYCLONEDDS_URI"]
    if uri:
        os.environ["CYCLONEDDS_URI"] = uri
    try:
        yield
    finally:
        os.environ["CYCLONEDDS_URI"] = before


def bench_get_obs(domain: int, calls: int, sim_uri: str | None = None,
                  sdk: str | None = None) -> tuple[float, float]:
    import robot

    sim = start_sim(domain, uri=sim_uri)
    try:
        with tempfile.TemporaryDirectory() as tmp, sdk_uri(sdk):
            os.environ["TMPDIR"] = tmp
            r = robot.Robot(domain)
            r.set_gains([20.0] * 4, [0.5] * 4)
            for _ in range(500):  # discovery, caches, first allocations
                r.get_obs()
            samples = []
            clock = time.perf_counter_ns
            for _ in range(calls):
                t0 = clock()
                r.get_obs()
                samples.append((clock() - t0) / 1000.0)
            r.finish()
            del r
    finally:
        sim.terminate()
        sim.wait(timeout=10)
    samples.sort()
    return statistics.median(samples), percentile(samples, 99)


def bench_get_obs_with_recorder(domain: int, calls: int) -> tuple[float, float]:
    """The same round trip with tarvek-record listening on the domain from the start."""
    with tempfile.TemporaryDirectory() as tmp:
        rec = subprocess.Popen([str(Path(sys.prefix) / "bin" / "tarvek-record"), "--domain",
                                str(domain), "-o", str(Path(tmp) / "bench.mcap")],
                               stderr=subprocess.PIPE, text=True)
        try:
            rec.stderr.readline()  # "recording ...": its readers exist
            return bench_get_obs(domain, calls)
        finally:
            rec.terminate()
            rec.communicate(timeout=30)


_LINE = re.compile(r"size 160 mean [\d.]+us min [\d.]+us 50% ([\d.]+)us 90% [\d.]+us 99% ([\d.]+)us")


def bench_ddsperf(domain: int, seconds: int, ping_uri: str | None = None,
                  pong_uri: str | None = None) -> tuple[float, float] | None:
    def env(uri):
        return {**os.environ, "CYCLONEDDS_URI": uri} if uri else None

    pong = subprocess.Popen(["ddsperf", "-i", str(domain), "pong", "waitset"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env(pong_uri))
    try:
        out = subprocess.run(["ddsperf", "-i", str(domain), "-D", str(seconds), "ping", "size", "160",
                              "waitset"], capture_output=True, text=True, timeout=seconds + 30,
                             env=env(ping_uri)).stdout
    finally:
        pong.terminate()
        pong.wait(timeout=10)
    rows = [(float(m.group(1)), float(m.group(2))) for m in _LINE.finditer(out)]
    if len(rows) < 2:
        return None
    rows = rows[1:]  # the first second includes discovery
    # ddsperf reports half the round trip; double it to compare like with like.
    return 2 * statistics.median(r[0] for r in rows), 2 * statistics.median(r[1] for r in rows)


def secured_uris(tmp: Path, payload_only: bool) -> dict[str, str]:
    """A keystore of its own with the simulator as controller, this process as drive, and a
    ddsperf pair allowed every topic; the CYCLONEDDS_URI of each."""
    sys.path.insert(0, str(ROOT / "keys" / "python"))
    from tarvek_keys import documents, keystore

    root = tmp / ("payload" if payload_only else "full")
    keystore.init(root, (0, 230), payload_only=payload_only)
    base = (ROOT / "config" / "cyclonedds-loopback.xml").read_bytes()
    uris = {}
    for name, role, topics in (("sim", "controller", None), ("sdk", "drive", None),
                               ("ping", "drive", (["*"], ["*"])),
                               ("pong", "drive", (["*"], ["*"]))):
        enclave = keystore.add(root, name, role, topics=topics)
        path = root / f"{name}.xml"
        path.write_bytes(documents.config(base, enclave))
        uris[name] = path.as_uri()
    return uris


def bench_first_observation(domain: int, runs: int, sim_uri: str | None = None,
                            sdk: str | None = None) -> tuple[float, float, float]:
    """Robot() to its first observation against a running simulator, a new Robot each run
    (so each one discovers, and with security authenticates, the simulator afresh)."""
    import robot

    sim = start_sim(domain, uri=sim_uri)
    ms = []
    try:
        with tempfile.TemporaryDirectory() as tmp, sdk_uri(sdk):
            os.environ["TMPDIR"] = tmp
            for _ in range(runs):
                t0 = time.perf_counter()
                r = robot.Robot(domain)
                r.get_obs()
                ms.append((time.perf_counter() - t0) * 1e3)
                r.finish()
                del r
    finally:
        sim.terminate()
        sim.wait(timeout=10)
    ms.sort()
    return statistics.median(ms), ms[0], ms[-1]


def bench_security(domain: int, calls: int, seconds: int, runs: int, rounds: int) -> None:
    """Each configuration in turn, `rounds` times over, keeping each one's quietest round:
    on a shared machine a round can be slowed by others, and encryption, being CPU work,
    is slowed most, which would overstate its cost."""
    with tempfile.TemporaryDirectory() as tmp:
        configs = {"unsecured": {}, "encrypted": secured_uris(Path(tmp), False),
                   "payload only": secured_uris(Path(tmp), True)}
        obs: dict[str, tuple[float, float]] = {}
        perf: dict[str, tuple[float, float]] = {}
        for n in range(rounds):
            for i, (label, uris) in enumerate(configs.items()):
                d = domain + 10 * i + 3 * n
                got = bench_get_obs(d, calls, uris.get("sim"), uris.get("sdk"))
                if label not in obs or got[0] < obs[label][0]:
                    obs[label] = got
                raw = bench_ddsperf(d + 1, seconds, uris.get("ping"), uris.get("pong"))
                if raw and (label not in perf or raw[0] < perf[label][0]):
                    perf[label] = raw
        print(f"with and without DDS Security, the quietest of {rounds} rounds each:")
        for label in configs:
            med, p99 = obs[label]
            line = f"{label:>12}: get_obs median {med:6.1f} us, p99 {p99:7.1f} us"
            if label in perf:
                line += f"; ddsperf median {perf[label][0]:6.1f} us, p99 {perf[label][1]:7.1f} us"
            print(line)
        for label in ("encrypted", "payload only"):
            sdk_extra = obs[label][0] - obs["unsecured"][0]
            if label in perf and "unsecured" in perf:
                raw_extra = perf[label][0] - perf["unsecured"][0]
                print(f"{label} extra cost per round trip: get_obs {sdk_extra:+.1f} us, ddsperf "
                      f"{raw_extra:+.1f} us, difference {sdk_extra - raw_extra:+.1f} us "
                      f"(aim: within 5 us)")
            else:
                print(f"{label} extra cost per round trip: get_obs {sdk_extra:+.1f} us")
        for i, label in enumerate(("unsecured", "encrypted")):
            uris = configs[label]
            med, lo, hi = bench_first_observation(domain + 70 + i, runs, uris.get("sim"),
                                                  uris.get("sdk"))
            print(f"Robot() to first observation, {label}, over {runs} runs: median {med:.1f} ms "
                  f"(min {lo:.1f}, max {hi:.1f})")


def bench_joystick(domain: int, ros_domain: int, calls: int, constructions: int):
    import joystick

    # A fast gamepad keeps a command pending in the reader (keep-last 1) at every call.
    sim = start_sim(domain, "--ros-domain", str(ros_domain), "--gamepad", "demo",
                    "--gamepad-rate", "2000")
    try:
        with tempfile.TemporaryDirectory() as tmp:
            os.environ["TMPDIR"] = tmp
            build_ms = []
            for _ in range(constructions):
                t0 = time.perf_counter()
                j = joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain)
                build_ms.append((time.perf_counter() - t0) * 1e3)
                del j
            j = joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain)
            pending_us = []
            clock = time.perf_counter_ns
            while len(pending_us) < calls:
                # Wait past one publishing period so that a fresh command is waiting.
                deadline = clock() + 1_000_000
                while clock() < deadline:
                    pass
                t0 = clock()
                cmd = j.get_cmd()["cmd_vector"]
                dt = (clock() - t0) / 1000.0
                if any(cmd):
                    pending_us.append(dt)
            del j
    finally:
        sim.terminate()
        sim.wait(timeout=10)
    pending_us.sort()
    build_ms.sort()
    return (statistics.median(pending_us), percentile(pending_us, 99),
            statistics.median(build_ms), build_ms[0], build_ms[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=10000)
    ap.add_argument("--domain", type=int, default=120)
    ap.add_argument("--ddsperf-seconds", type=int, default=6)
    ap.add_argument("--cmd-calls", type=int, default=5000)
    ap.add_argument("--constructions", type=int, default=20)
    ap.add_argument("--get-obs-only", action="store_true", help="skip the other figures")
    ap.add_argument("--security-only", action="store_true",
                    help="only the figures with and without DDS Security")
    ap.add_argument("--first-obs-runs", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3,
                    help="rounds of the secured and unsecured figures (the quietest counts)")
    ap.add_argument("--save", type=Path, help="write the get_obs figures to this JSON file")
    ap.add_argument("--before", type=Path,
                    help="compare the get_obs median with figures saved by an earlier build")
    args = ap.parse_args()

    if args.security_only:
        bench_security(args.domain + 10, args.calls, args.ddsperf_seconds, args.first_obs_runs,
                       args.rounds)
        return
    if not args.get_obs_only:
        # The first Joystick fixes this process's ROS 2 domain, so it runs first.
        cmd_med, cmd_p99, build_med, build_min, build_max = bench_joystick(
            args.domain + 2, args.domain + 3, args.cmd_calls, args.constructions)
        print(f"get_cmd with a command pending over {args.cmd_calls} calls: median "
              f"{cmd_med:.1f} us, p99 {cmd_p99:.1f} us")
        print(f"Joystick() with the service present over {args.constructions} constructions: "
              f"median {build_med:.1f} ms (min {build_min:.1f}, max {build_max:.1f})")

    med, p99 = bench_get_obs(args.domain, args.calls)
    print(f"get_obs round trip over {args.calls} calls: median {med:.1f} us, p99 {p99:.1f} us")
    call = bench_call_overhead(args.domain)
    print(f"a call without DDS work (finish, user mode off): median {call * 1000:.0f} ns")
    if args.save:
        args.save.write_text(json.dumps({"get_obs_median_us": med, "get_obs_p99_us": p99,
                                         "call_us": call}))
    if args.before:
        before = json.loads(args.before.read_text())
        print(f"signal checks and process check: get_obs median before "
              f"{before['get_obs_median_us']:.1f} us, after {med:.1f} us "
              f"({med - before['get_obs_median_us']:+.1f} us, within the round trip's noise); "
              f"per call before {before['call_us'] * 1000:.0f} ns, after {call * 1000:.0f} ns "
              f"(cost {(call - before['call_us']) * 1000:+.0f} ns; aim: <= 2 us)")
    if args.get_obs_only:
        return
    rmed_rec, rp99_rec = bench_get_obs_with_recorder(args.domain + 4, args.calls)
    print(f"get_obs round trip with a recorder running: median {rmed_rec:.1f} us, "
          f"p99 {rp99_rec:.1f} us")
    raw = bench_ddsperf(args.domain + 1, args.ddsperf_seconds)
    if raw is None:
        print("ddsperf: no figures (is cyclonedds-tools installed?)")
        return
    rmed, rp99 = raw
    print(f"ddsperf ping-pong (waitset, 160 B) round trip: median {rmed:.1f} us, p99 {rp99:.1f} us")
    print(f"ratio get_obs / ddsperf: median {med / rmed:.2f}x, p99 {p99 / rp99:.2f}x (aim: <= 1.5x)")
    bench_security(args.domain + 10, args.calls, args.ddsperf_seconds, args.first_obs_runs,
                       args.rounds)


if __name__ == "__main__":
    main()
