"""First contact with the controller, and controller stalls, against the simulated controller:

- Robot() -> get_obs() -> finish() against a running controller, no wait for discovery: how
  often the controller never saw user mode switched on, and what the first get_obs costs;
- Robot(d, 0).get_obs() as the first call (each in a process of its own): how many never
  returned within a few seconds;
- a controller stopped (SIGSTOP) with observation requests in flight, for 3 s and 8 s inside
  one get_obs, and for one whole get_obs that times out (10 s, the participant lease): how
  long after it resumes the waiting (or the next) get_obs returns. Measured with the shipped
  loopback configuration and with the same file stripped of its discovery timing settings,
  several runs at once, one controller and one client process per domain; and a controller
  killed and started again: how soon the same Robot's get_obs returns.

Prints figures; asserts nothing. Timings on a loaded machine are noisy: repeat before
trusting a single figure.

    .venv/bin/python bench/first_contact_bench.py [--runs 20] [--wave 10] [--domain 140]
                                                  [--skip-stalls]
"""

from __future__ import annotations

import argparse
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
SHIPPED = ROOT / "config" / "cyclonedds-loopback.xml"
os.environ.setdefault("CYCLONEDDS_URI", f"file://{SHIPPED}")
STALL_CLIENT = ROOT / "tests" / "stall_client.py"
SIM = Path(sys.prefix) / "bin" / "tarvek-sim"


class Sim:
    def __init__(self, domain: int, log: Path, env: dict[str, str]):
        self.log = log
        self.proc = subprocess.Popen([str(SIM), "--domain", str(domain)], stdin=subprocess.PIPE,
                                     stdout=open(log, "wb"), stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + 20
        while '"ready"' not in log.read_text():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError(f"simulator on domain {domain} did not start")
            time.sleep(0.01)

    def events(self) -> list[dict]:
        out = []
        for line in self.log.read_text().splitlines():
            try:
                out.append(json.loads(line))
            except json.JSONDecodeError:
                pass
        return out

    def close(self) -> None:
        os.kill(self.proc.pid, 18)  # SIGCONT, in case a client left it stopped
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def summary(values: list[float], unit_ms: bool = True) -> str:
    if not values:
        return "no figures"
    k = 1000.0 if unit_ms else 1.0
    return (f"median {statistics.median(values) * k:.1f} ms, worst {max(values) * k:.1f} ms "
            f"(n={len(values)})")


def bench_user_mode(domain: int, runs: int, tmp: Path) -> None:
    import robot

    sim = Sim(domain, tmp / "user_mode.jsonl", dict(os.environ))
    first = []
    try:
        for _ in range(runs):
            r = robot.Robot(domain)
            t = time.monotonic()
            r.get_obs()
            first.append(time.monotonic() - t)
            r.finish()
            del r
        time.sleep(0.3)
        modes = [e["enabled"] for e in sim.events()
                 if e.get("event") == "sample" and e.get("topic") == "user_mode"]
    finally:
        sim.close()
    lost = modes.count(False) - modes.count(True)
    print(f"Robot() -> get_obs() -> finish(), {runs} runs: user mode on never seen in {lost} "
          f"of {runs}; first get_obs {summary(first)}")


def bench_gains_first(domain: int, runs: int, tmp: Path) -> None:
    import robot

    sim = Sim(domain, tmp / "gains_first.jsonl", dict(os.environ))
    try:
        for i in range(runs):
            r = robot.Robot(domain)
            r.set_gains([i, 1, 1, 1], [1, 1, 1, 1])
            r.do_action([i, 2, 2, 2])
            r.finish()
            del r
        time.sleep(0.3)
        samples = [e for e in sim.events() if e.get("event") == "sample"]
    finally:
        sim.close()
    missing = 0
    for i in range(runs):
        gains = [e for e in samples if e["topic"] == "user_gains" and e["kp"][0] == i]
        actions = [e for e in samples if e["topic"] == "user_action" and e["value"][0] == i]
        missing += len(gains) != 1 or len(actions) != 2
    modes = [e["enabled"] for e in samples if e["topic"] == "user_mode"]
    lost_on = modes.count(False) - modes.count(True)
    print(f"Robot() -> set_gains -> do_action -> finish(), {runs} runs: gains or an action "
          f"missing in {missing} of {runs}, user mode on never seen in {lost_on}")


def bench_zero_wait_first_call(domain: int, runs: int, tmp: Path, limit: float) -> None:
    sim = Sim(domain, tmp / "zero_wait.jsonl", dict(os.environ))
    code = f"import robot; robot.Robot({domain}, 0).get_obs()"
    hung, took = 0, []
    try:
        for _ in range(runs):
            t = time.monotonic()
            child = subprocess.Popen([sys.executable, "-c", code],
                                     env={**os.environ, "TMPDIR": str(tmp)})
            try:
                child.wait(timeout=limit)
                took.append(time.monotonic() - t)
            except subprocess.TimeoutExpired:
                hung += 1
                child.kill()
                child.wait()
    finally:
        sim.close()
    slow = sum(1 for t in took if t > 1.0)
    print(f"Robot(d, 0).get_obs() as the first call, {runs} processes: {hung} of {runs} still "
          f"waiting after {limit:.0f} s, {slow} took over 1 s; the others (process start "
          f"included) {summary(took)}")


def stripped_config(tmp: Path) -> Path:
    """The shipped configuration without the settings that bound recovery after a stall."""
    text = SHIPPED.read_text()
    text = re.sub(r"\s*<(SPDPInterval|LeaseDuration)>[^<]*</\1>", "", text)
    out = tmp / "without-discovery-timing.xml"
    out.write_text(text)
    return out


def stall_wave(env: dict[str, str], domains: list[int], mode: str, tmp: Path):
    sims = [Sim(d, tmp / f"stall-{d}-{mode}.jsonl", env) for d in domains]
    results, failed = [], 0
    try:
        clients = [subprocess.Popen([sys.executable, str(STALL_CLIENT), str(d), str(s.proc.pid),
                                     mode], stdout=subprocess.PIPE, text=True, env=env)
                   for d, s in zip(domains, sims)]
        for c in clients:
            try:
                out, _ = c.communicate(timeout=90)
                results.append(json.loads(out.strip().splitlines()[-1]))
            except Exception:  # noqa: BLE001 - a hung or failed run is counted, not raised
                failed += 1
                c.kill()
                c.wait()
    finally:
        for s in sims:
            s.close()
    return results, failed


def bench_stalls(config: Path, label: str, base_domain: int, runs: int, wave: int,
                 tmp: Path) -> None:
    env = {**os.environ, "CYCLONEDDS_URI": f"file://{config}", "TMPDIR": str(tmp)}
    for mode, what in (("3", "stopped 3 s inside one get_obs, it returned"),
                       ("8", "stopped 8 s inside one get_obs, it returned"),
                       ("whole", "stopped for one whole get_obs (10 s), the next returned"),
                       ("kill", "killed and restarted, the same Robot's get_obs returned")):
        results, failed = [], 0
        for start in range(0, runs, wave):
            domains = [base_domain + i for i in range(start, min(runs, start + wave))]
            got, lost = stall_wave(env, domains, mode, tmp)
            results += got
            failed += lost
        after = [r["after_restart" if mode == "kill" else "after_resume"] for r in results]
        extra = f", {failed} failed" if failed else ""
        print(f"  [{label}] {what} {summary(after)} after the "
              f"{'restart' if mode == 'kill' else 'resume'}{extra}", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=20)
    ap.add_argument("--domain", type=int, default=140)
    ap.add_argument("--zero-wait-limit", type=float, default=5.0)
    ap.add_argument("--wave", type=int, default=10,
                    help="stall runs at once (each a controller and a client process)")
    ap.add_argument("--skip-stalls", action="store_true")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmpname:
        tmp = Path(tmpname)
        os.environ["TMPDIR"] = tmpname
        bench_user_mode(args.domain, args.runs, tmp)
        bench_gains_first(args.domain + 1, args.runs, tmp)
        bench_zero_wait_first_call(args.domain + 2, args.runs, tmp, args.zero_wait_limit)
        if args.skip_stalls:
            return
        print(f"Controller stalls, {args.runs} runs each, {args.wave} at a time:", flush=True)
        base = args.domain + 3
        bench_stalls(SHIPPED, "shipped configuration", base, args.runs, args.wave, tmp)
        bench_stalls(stripped_config(tmp), "without SPDPInterval/LeaseDuration", base, args.runs,
                     args.wave, tmp)


if __name__ == "__main__":
    main()
