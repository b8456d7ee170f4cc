"""tarvek-view: the robot link live in Rerun's viewer, native or in a browser."""

from __future__ import annotations

import argparse
import os
import socket
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path

DESCRIPTION = """\
Shows what a policy and the controller say to each other, live, in Rerun's viewer: joint
positions against their targets, velocities, torques, the body's tilt, the gamepad's
command, user mode and gains as events, the get_obs round trip, and the robot in 3D. It
only listens, as tarvek-record does; with -o it also records every sample to MCAP.

  tarvek-view [--domain N] [--ros-domain N] [-o run.mcap] [--web] [--rate HZ]

--web serves Rerun's web viewer on 127.0.0.1 and prints its URL; without it the native
viewer opens. Every server it starts listens on 127.0.0.1 only. Rerun's usage analytics
are off unless TARVEK_VIEW_ANALYTICS=1, which leaves them to Rerun's own setting.
Needs the [view] extra (rerun-sdk, CPython 3.11 or later).
"""

ANALYTICS_ENV = "TARVEK_VIEW_ANALYTICS"
HOST = "127.0.0.1"


def parser(prog: str = "tarvek-view") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--domain", type=int, default=1, help="DDS domain of the six topics (default 1)")
    p.add_argument("--ros-domain", type=int, default=None,
                   help="also read the configuration service on this DDS domain")
    p.add_argument("-o", "--output", type=Path, default=None, help="also record every sample to this MCAP file")
    p.add_argument("--duration", type=float, default=None, help="stop after S seconds")
    p.add_argument("--web", action="store_true", help="serve the web viewer on 127.0.0.1 instead of opening the native one")
    p.add_argument("--web-port", type=int, default=9090, help="the web viewer's HTTP port (default 9090)")
    p.add_argument("--grpc-port", type=int, default=9876,
                   help="the port of the viewer's data server (default 9876)")
    p.add_argument("--rate", type=float, default=30.0, help="frames shown per second (default 30)")
    return p


def rerun_executable() -> str:
    """Rerun's program itself, not the Python launcher beside it, which would leave the
    program running when it is stopped."""
    if os.environ.get("RERUN_CLI_PATH"):
        return os.environ["RERUN_CLI_PATH"]
    import rerun_cli

    return str(Path(rerun_cli.__file__).parent / "rerun")


def rerun_env() -> dict[str, str]:
    """The environment of the viewer processes: Rerun reads its analytics setting from its
    configuration directory, so by default they get one of ours, where analytics are off."""
    env = dict(os.environ)
    if os.environ.get(ANALYTICS_ENV) == "1":
        return env
    base = Path(os.environ.get("XDG_CONFIG_HOME") or Path.home() / ".config") / "tarvek-sdk"
    env["XDG_CONFIG_HOME"] = str(base)
    if not (base / "rerun" / "analytics.json").exists():
        subprocess.run([rerun_executable(), "analytics", "disable"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=False)
    return env


def _wait_port(port: int, proc: subprocess.Popen, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"the Rerun viewer exited with status {proc.returncode}")
        try:
            with socket.create_connection((HOST, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"the Rerun viewer did not listen on {HOST}:{port} within {timeout:.0f} s")


def start_viewer(web: bool, grpc_port: int, web_port: int) -> tuple[subprocess.Popen, str]:
    """Starts Rerun's viewer process, bound to 127.0.0.1, with its data server on
    `grpc_port`; returns it and the URL our recording stream connects to."""
    cmd = [rerun_executable(), "--bind", HOST, "--port", str(grpc_port)]
    if web:
        cmd += ["--serve-web", "--web-viewer-port", str(web_port)]
    else:
        cmd += ["--expect-data-soon"]

    def nice():
        # The viewer renders while the robot runs: it gets the processors last.
        os.nice(10)

    # Its warnings and errors only: the URL to open is ours to print.
    env = {**rerun_env(), "RUST_LOG": os.environ.get("RUST_LOG", "warn")}
    # A session of its own: Ctrl-C in the terminal stops us, and we stop it once the last
    # frames are sent.
    proc = subprocess.Popen(cmd, env=env, preexec_fn=nice, stdout=subprocess.DEVNULL, start_new_session=True)
    try:
        _wait_port(grpc_port, proc)
        if web:
            _wait_port(web_port, proc)
    except BaseException:
        proc.terminate()
        proc.wait(timeout=10)
        raise
    return proc, f"rerun+http://{HOST}:{grpc_port}/proxy"


def web_url(web_port: int, grpc_url: str) -> str:
    return f"http://{HOST}:{web_port}/?url={urllib.parse.quote(grpc_url, safe='')}"


def main(argv: list[str] | None = None, prog: str = "tarvek-view") -> int:
    args = parser(prog).parse_args(sys.argv[1:] if argv is None else argv)
    try:
        import rerun as rr
        import rerun.blueprint as rrb
    except ImportError:
        print(f"{prog} needs Rerun: pip install 'tarvek-sdk[view]' (CPython 3.11 or later)", file=sys.stderr)
        return 2
    if args.rate <= 0:
        print(f"{prog}: --rate must be above 0", file=sys.stderr)
        return 2
    from tarvek_view import live

    try:
        proc, grpc_url = start_viewer(args.web, args.grpc_port, args.web_port)
    except (RuntimeError, OSError) as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 1
    try:
        def connect():
            rr.init(live.APP_ID, spawn=False)
            rr.connect_grpc(grpc_url, default_blueprint=live.blueprint(rrb))
            if args.web:
                print(f"open {web_url(args.web_port, grpc_url)}", file=sys.stderr, flush=True)
            return rr

        live.view(args.domain, args.ros_domain, connect, args.output, args.rate, args.duration)
        rr.get_global_data_recording().flush(timeout_sec=5)
    except (RuntimeError, OSError) as e:  # DDS refused a domain or an entity, or the file
        print(f"{prog}: {e}", file=sys.stderr)
        return 1
    finally:
        rr.disconnect()
        if args.web:
            proc.terminate()
        # The native viewer stays open for the user to look at what was shown.
        try:
            proc.wait(timeout=10 if args.web else 0.1)
        except subprocess.TimeoutExpired:
            if args.web:
                proc.kill()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
