"""tarvek-record: record the robot link to MCAP; summarise or plot a recording."""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from datetime import datetime, timezone
from pathlib import Path

SUBCOMMANDS = ("record", "info", "plot")

DESCRIPTION = """\
Records everything on the SDK's six DDS topics (and, with --ros-domain, the requests and
replies of the /dynamic_param_config service) to an MCAP file: one channel per topic, each
sample's bytes as received, the receive time as log time and the writer's time stamp as
publish time. It only listens: it writes nothing on any topic. Stop it with Ctrl-C or
SIGTERM; the file is then complete and indexed. If it is killed outright, everything but
about the last second is still readable.

  tarvek-record [record] [--domain N] [--ros-domain N] [-o run.mcap] [--duration S] [--nice N]
  tarvek-record --view [--web] ...   the live view: see tarvek-view --help
  tarvek-record info run.mcap
  tarvek-record plot run.mcap -o run.png
"""


def _record_parser(prog: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--domain", type=int, default=1, help="DDS domain of the six topics (default 1)")
    p.add_argument("--ros-domain", type=int, default=None,
                   help="also record the configuration service on this DDS domain")
    p.add_argument("-o", "--output", type=Path, default=None,
                   help="file to write (default: run-<UTC date and time>.mcap)")
    p.add_argument("--duration", type=float, default=None, help="stop after S seconds")
    p.add_argument("--nice", type=int, default=10,
                   help="lower the recorder's priority by N (default 10; 0 keeps it): the robot's "
                        "loop and its controller get the processors first")
    return p


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    command = argv[0] if argv and argv[0] in SUBCOMMANDS else "record"
    rest = argv[1:] if argv and argv[0] in SUBCOMMANDS else argv
    if command == "info":
        p = argparse.ArgumentParser(prog="tarvek-record info",
                                    description="Per topic: count, rate, first and last time, gaps.")
        p.add_argument("file", type=Path)
        return info(p.parse_args(rest).file)
    if command == "plot":
        p = argparse.ArgumentParser(prog="tarvek-record plot", description="One picture of a run.")
        p.add_argument("file", type=Path)
        p.add_argument("-o", "--output", type=Path, default=None, help="PNG to write (default: beside the file)")
        args = p.parse_args(rest)
        return plot(args.file, args.output or args.file.with_suffix(".png"))
    if "--view" in rest:
        # The live view records as this does (-o) and shows the link in Rerun's viewer.
        from tarvek_view.cli import main as view

        return view([a for a in rest if a != "--view"], prog="tarvek-record --view")
    args = _record_parser("tarvek-record").parse_args(rest)
    from tarvek_record.record import record

    out = args.output or Path(datetime.now(timezone.utc).strftime("run-%Y%m%d-%H%M%S.mcap"))
    if args.nice > 0:
        # Before the readers exist, so that their receive threads run at this priority too:
        # they are what competes with both ends of a get_obs round trip for the processors.
        # Their samples wait in the socket meanwhile; the readers keep all of them.
        try:
            os.nice(args.nice)
        except OSError:
            pass
    try:
        record(args.domain, args.ros_domain, out, args.duration)
    except (RuntimeError, OSError) as e:  # DDS refused a domain or an entity; the file
        print(f"tarvek-record: {e}", file=sys.stderr)
        return 1
    return 0


def _time(ns: int) -> str:
    return datetime.fromtimestamp(ns / 1e9, timezone.utc).strftime("%H:%M:%S.%f")[:-3]


def info(path: Path) -> int:
    from tarvek_record.runfile import load

    run = load(path)
    if not run.complete:
        print(f"{path}: the file ends early (recorder killed?): showing its complete part")
    if not run.records:
        print(f"{path}: no messages")
        return 0
    # The control period: the median interval between actions, else between requests.
    period = None
    for topic in ("user_action", "user_obs_request"):
        times = [r.log_time for r in run.topic(topic)]
        if len(times) > 2:
            period = statistics.median(b - a for a, b in zip(times, times[1:]))
            break
    if period:
        print(f"control period {period / 1e6:.3f} ms; gaps are intervals over {3 * period / 1e6:.3f} ms")
    print(f"{'topic':34} {'count':>8} {'rate/s':>9} {'first':>13} {'last':>13} {'gaps':>5}")
    for topic in sorted(run.schemas):
        times = [r.log_time for r in run.topic(topic)]
        if not times:
            print(f"{topic:34} {0:8d}")
            continue
        span = (times[-1] - times[0]) / 1e9
        rate = (len(times) - 1) / span if span > 0 else 0.0
        # Gaps only mean something on topics that run at the control rate.
        steady = period and len(times) > 10 and statistics.median(
            b - a for a, b in zip(times, times[1:])) <= 1.5 * period
        gaps = [(a, b) for a, b in zip(times, times[1:]) if steady and b - a > 3 * period]
        print(f"{topic:34} {len(times):8d} {rate:9.1f} {_time(times[0]):>13} {_time(times[-1]):>13} "
              f"{len(gaps) if steady else '-':>5}")
        for a, b in gaps[:5]:
            print(f"    gap of {(b - a) / 1e6:.1f} ms after {_time(a)}")
        if len(gaps) > 5:
            print(f"    ... and {len(gaps) - 5} more")
    unheard = _replies_without_request(run)
    if unheard:
        # Every Joystick is a new service client with a new request writer, and its first
        # request often comes before the recorder has found that writer; the reply comes
        # from the server's writer, matched long before. So a reply can be the first thing
        # recorded of an exchange.
        print(f"{unheard} of the replies answer a request not recorded (sent before the recorder "
              f"had found the new client): the first reply can come before the first request")
    return 0


def _replies_without_request(run) -> int:
    from tarvek_record.runfile import decoded

    request, reply = "rq/dynamic_param_configRequest", "rr/dynamic_param_configReply"
    if reply not in run.schemas:
        return 0
    asked = ({(m["client_id"], m["sequence_number"]) for _, m in decoded(run, request)}
             if request in run.schemas else set())
    return sum((m["client_id"], m["sequence_number"]) not in asked for _, m in decoded(run, reply))


def plot(path: Path, out: Path) -> int:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("tarvek-record plot needs matplotlib: pip install 'tarvek-sdk[plot]'", file=sys.stderr)
        return 2
    from tarvek_record.plot import plot as draw
    from tarvek_record.runfile import load

    draw(load(path), out, title=path.name)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
