"""A short exchange between an installed tarvek-sdk wheel and its simulated controller, and a
check that every native library the modules and the simulator load comes from the wheel
(or is one of the few system libraries every manylinux system has).

Run it with the interpreter of the environment the wheel is installed in, in a directory
where `robot` and `joystick` do not name anything else:

    python -I wheel_smoke.py [--sim PATH | --no-sim] [--domain N] [--ros-domain N]
    python -I wheel_smoke.py --refuse SITE_PACKAGES --compiled X.Y

--sim (default: the environment's bin/tarvek-sim) starts that simulator with a demo
gamepad, and then a second one secured with a controller identity from the wheel's
tarvek-keys, which a Robot with a drive identity must get an observation from, the three
security plugins loaded from the wheel on both sides; --no-sim expects one already running on the given domains with `--gamepad demo`
(for an interpreter that cannot run the wheel's simulator, such as one under emulation).
CYCLONEDDS_URI must point at a loopback-only configuration. Exits non-zero on the first
failure, with the reason; prints one line per step otherwise.

--refuse checks the version guard instead: the modules of a wheel for CPython X.Y, installed
into SITE_PACKAGES, loaded by path into this (another) interpreter must each fail to import
with the guard's ImportError naming both versions.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

# Libraries a manylinux wheel may take from the system: the C and C++ runtimes and the
# dynamic loader. Anything else must be carried by the wheel.
SYSTEM_ALLOWED = re.compile(
    r"^(libc|libm|libdl|librt|libpthread|libutil|libresolv)\.so\.\d+$"
    r"|^libstdc\+\+\.so\.6(\.[\d.]+)?$|^libgcc_s\.so\.1$|^ld-linux[-\w.]*\.so\.\d+$"
)


def fail(message: str) -> None:
    print(f"FAIL: {message}", flush=True)
    sys.exit(1)


def step(message: str) -> None:
    print(f"ok: {message}", flush=True)


def mapped_objects(pid: int | str = "self") -> set[str]:
    """Paths of the shared objects and executables mapped into a process."""
    paths = set()
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            parts = line.split(None, 5)
            if len(parts) == 6 and parts[5].startswith("/"):
                path = parts[5].strip()
                if path.endswith(" (deleted)"):
                    path = path[: -len(" (deleted)")]
                paths.add(path)
    return paths


def foreign_libraries(paths: set[str], wheel_root: Path) -> list[str]:
    """The mapped objects that neither lie in the wheel's install tree nor are allowed from
    the system. Non-ELF mappings (locale archives, the loader cache) are no libraries."""
    bad = []
    for path in sorted(paths):
        p = Path(path)
        if ".so" not in p.name and not os.access(p, os.X_OK):
            continue
        try:
            if p.resolve().is_relative_to(wheel_root.resolve()):
                continue
        except OSError:
            pass
        if SYSTEM_ALLOWED.match(p.name):
            continue
        bad.append(path)
    return bad


class Sim:
    def __init__(self, exe: str, domain: int, ros_domain: int, log: Path, env: dict[str, str] | None = None):
        args = [exe, "--domain", str(domain), "--ros-domain", str(ros_domain), "--gamepad", "demo"]
        # With a physics plugin built in, insist on the toy model: the wheel must run
        # without the optional physics packages.
        help_text = subprocess.run([exe, "--help"], capture_output=True, text=True, timeout=30).stdout
        if "--physics" in help_text:
            args += ["--physics", "toy"]
        self.log = log
        self._out = open(log, "wb")
        # Events go to a file: the SDK holds the GIL while it waits, and a pipe nobody
        # drains could stall the simulator.
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=self._out, stderr=subprocess.STDOUT,
                                     env=env)
        self.wait_for(lambda e: e.get("event") == "ready", 20, "ready")

    def events(self) -> list[dict]:
        out = []
        for line in self.log.read_bytes().splitlines():
            try:
                out.append(json.loads(line))
            except json.JSONDecodeError:
                out.append({"event": "unparsed", "text": line.decode(errors="replace")})
        return out

    def wait_for(self, pred, timeout: float, what: str) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events():
                if pred(e):
                    return e
            if self.proc.poll() is not None:
                fail(f"simulator exited with {self.proc.returncode} waiting for {what}: {self.log.read_text()[-2000:]}")
            if time.monotonic() > deadline:
                fail(f"simulator: no {what} within {timeout} s: {self.log.read_text()[-2000:]}")
            time.sleep(0.01)

    def stop(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b'{"cmd":"quit"}\n')
                self.proc.stdin.flush()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self._out.close()


def load_error(name: str, path: Path, dlopen_flags: int | None = None) -> str | None:
    """Loads an extension module by path as the import system would; the ImportError's text,
    or None when it loaded."""
    import importlib.machinery
    import importlib.util

    if dlopen_flags is not None:
        sys.setdlopenflags(dlopen_flags)
    try:
        loader = importlib.machinery.ExtensionFileLoader(name, str(path))
        importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, path, loader=loader))
    except ImportError as e:
        return str(e)
    return None


def refuse(site_packages: Path, compiled: str) -> None:
    """Loads each module of a wheel built for another interpreter the way the import system
    would, had the file name matched, and expects the version guard to refuse it."""
    ours = f"{sys.version_info.major}.{sys.version_info.minor}"
    if ours == compiled:
        fail(f"--refuse needs an interpreter other than {compiled}")
    expected = (f"Python version mismatch: module was compiled for Python {compiled}, "
                f"but the interpreter version is incompatible: {sys.version}.")
    how = "the version guard's ImportError"
    for name in ("robot", "joystick"):
        files = sorted(site_packages.glob(f"{name}.cpython-*.so"))
        if len(files) != 1:
            fail(f"expected one {name} extension module in {site_packages}, found {files}")
        error = load_error(name, files[0])
        if error is not None and "undefined symbol" in error:
            # The interpreter binds every symbol at load time, and one that another version
            # lacks stops the load before the module's own code runs: still an ImportError,
            # but not the guard's. Bound lazily, the guard runs first and must refuse.
            how = f"the loader's ImportError ({error.rsplit(': ', 1)[-1]}), and lazily bound the guard's"
            error = load_error(name, files[0], os.RTLD_LAZY)
        if error is None:
            fail(f"{files[0].name}, built for CPython {compiled}, imported into CPython {ours}")
        if error != expected:
            fail(f"{files[0].name} in CPython {ours}: ImportError {error!r}, expected {expected!r}")
    step(f"CPython {ours} refuses the CPython {compiled} modules with {how}")


SECURED_CHILD = """
import json, sys
import robot
r = robot.Robot(dds_domain_id=int(sys.argv[1]), wait_obs_timeout_ms=1)
obs = r.get_obs()
r.finish()
maps = set()
for line in open("/proc/self/maps"):
    parts = line.split(None, 5)
    if len(parts) == 6 and parts[5].startswith("/"):
        maps.add(parts[5].strip())
print(json.dumps({"dof_pos": obs["dof_pos"], "maps": sorted(maps)}))
"""


def secured_exchange(sim_exe: str, domain: int, ros_domain: int, workdir: Path, wheel_root: Path) -> None:
    """A keystore from the wheel's tarvek-keys, the wheel's simulator secured with a controller
    identity and a Robot with a drive identity in a process of its own: the observation must
    come through, with the security plugins loaded from the wheel."""
    keys = str(Path(sys.prefix, "bin", "tarvek-keys"))
    ks = workdir / "keystore"
    base = os.environ["CYCLONEDDS_URI"].removeprefix("file://")
    configs = {}
    for args in (["init", str(ks)], ["add", str(ks), "controller", "--role", "controller"],
                 ["add", str(ks), "drive", "--role", "drive"]):
        done = subprocess.run([keys, *args], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            fail(f"tarvek-keys {args[0]} exited with {done.returncode}: {done.stderr[-1000:]}")
    for name in ("controller", "drive"):
        out = workdir / f"{name}.xml"
        done = subprocess.run([keys, "config", str(ks), name, "--base", base, "-o", str(out)],
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            fail(f"tarvek-keys config exited with {done.returncode}: {done.stderr[-1000:]}")
        libraries = re.findall(r'<Library path="([^"]*)"', out.read_text())
        if len(libraries) != 3 or any("/" in lib for lib in libraries):
            fail(f"{out.name} must name the three plugins without a path, not {libraries}")
        configs[name] = f"file://{out}"
    sim = Sim(sim_exe, domain, ros_domain, workdir / "secured-sim.jsonl",
              env={**os.environ, "CYCLONEDDS_URI": configs["controller"]})
    try:
        done = subprocess.run([sys.executable, "-I", "-c", SECURED_CHILD, str(domain)], capture_output=True,
                              text=True, timeout=60, env={**os.environ, "CYCLONEDDS_URI": configs["drive"]})
        if done.returncode != 0:
            fail(f"a Robot with a drive identity failed against the secured simulator: {done.stderr[-1500:]}")
        result = json.loads(done.stdout.strip().splitlines()[-1])
        # The child's interpreter and its standard library are no libraries the wheel owes.
        interpreter = str(Path(sys.base_prefix).resolve())
        robot_maps = {p for p in result["maps"] if not str(Path(p).resolve()).startswith(interpreter)}
        for who, maps in (("the secured Robot", robot_maps), ("the secured simulator",
                                                                      mapped_objects(sim.proc.pid))):
            bad = foreign_libraries(maps, wheel_root)
            if bad:
                fail(f"{who} loaded libraries from outside the wheel: " + ", ".join(bad))
            plugins = sorted(Path(p).name for p in maps if "libdds_security_" in p)
            if len(plugins) != 3 or not all("tarvek_sdk.libs" in p for p in maps if "libdds_security_" in p):
                fail(f"{who} did not load the three security plugins from the wheel: {plugins}")
        step(f"secured exchange: get_obs with a drive identity from a controller identity's simulator, "
             f"dof_pos={[round(v, 3) for v in result['dof_pos']]}; plugins from the wheel: {', '.join(plugins)}")
    finally:
        sim.stop()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sim", default=str(Path(sys.prefix) / "bin" / "tarvek-sim"))
    ap.add_argument("--no-sim", action="store_true")
    ap.add_argument("--domain", type=int, default=7)
    ap.add_argument("--ros-domain", type=int, default=17)
    ap.add_argument("--refuse", type=Path, metavar="SITE_PACKAGES")
    ap.add_argument("--compiled", metavar="X.Y")
    args = ap.parse_args()
    if args.refuse:
        if not args.compiled:
            ap.error("--refuse needs --compiled")
        refuse(args.refuse, args.compiled)
        return

    if "cyclonedds-loopback" not in os.environ.get("CYCLONEDDS_URI", ""):
        fail("CYCLONEDDS_URI must name the loopback-only configuration")
    wheel_root = Path(sysconfig.get_paths()["platlib"])

    before = mapped_objects()
    import joystick
    import robot

    for module in (robot, joystick):
        if not Path(module.__file__).resolve().is_relative_to(wheel_root.resolve()):
            fail(f"{module.__name__} imported from {module.__file__}, not from {wheel_root}")
    loaded = mapped_objects() - before
    bad = foreign_libraries(loaded, wheel_root)
    if bad:
        fail("importing the modules loaded libraries from outside the wheel: " + ", ".join(bad))
    carried = sorted(Path(p).name for p in loaded if "tarvek_sdk.libs" in p)
    if not any(name.startswith("libddsc") for name in carried):
        fail(f"libddsc was not loaded from the wheel's libraries (loaded: {sorted(loaded)})")
    step(f"import robot, joystick from {wheel_root}; loaded from the wheel: {', '.join(carried)}")

    sim = None
    workdir = Path(tempfile.mkdtemp(prefix="tarvek-wheel-smoke-"))
    # The runtime state file goes to a directory of this run's own.
    os.environ["TMPDIR"] = str(workdir)
    try:
        if not args.no_sim:
            sim = Sim(args.sim, args.domain, args.ros_domain, workdir / "sim.jsonl")
            exe = os.readlink(f"/proc/{sim.proc.pid}/exe")
            sim_maps = mapped_objects(sim.proc.pid)
            sim_bad = foreign_libraries(sim_maps, wheel_root)
            if sim_bad:
                fail("the simulator loaded libraries from outside the wheel: " + ", ".join(sim_bad))
            # Guards against reading the launcher instead of the simulator it starts.
            if not any("tarvek_sdk.libs/libddsc" in p for p in sim_maps):
                fail(f"the simulator did not load libddsc from the wheel: {sorted(sim_maps)}")
            where = f"under {exe}" if Path(exe).name.startswith("qemu-") else f"from {exe}"
            step(f"tarvek-sim running {where}, libraries from the wheel only")

        # The wheel's other programs must at least start: they link libddsc too.
        for tool in sorted(Path(sys.prefix, "bin").glob("tarvek-*")):
            if tool.name == "tarvek-sim":
                continue
            done = subprocess.run([str(tool), "--help"], capture_output=True, text=True, timeout=60)
            if done.returncode != 0:
                fail(f"{tool.name} --help exited with {done.returncode}: {done.stderr[-1000:]}")
            step(f"{tool.name} --help runs")

        r = robot.Robot(dds_domain_id=args.domain, wait_obs_timeout_ms=1)
        r.set_gains(kp=[20, 20, 6, 6], kd=[0.5, 0.5, 0.6, 0.6])
        obs = r.get_obs()
        keys = {"dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel"}
        if not keys <= set(obs) or len(obs["dof_pos"]) != 4:
            fail(f"get_obs returned {obs!r}")
        step(f"get_obs: dof_pos={[round(v, 3) for v in obs['dof_pos']]}")
        r.do_action([0.35, 0.35, 0.0, 0.0])
        obs = r.get_obs()
        if sim is not None:
            sim.wait_for(
                lambda e: e.get("event") == "sample" and e.get("topic") == "user_action",
                10,
                "user_action sample",
            )
        step(f"do_action reached the controller; get_obs after it: dof_pos={[round(v, 3) for v in obs['dof_pos']]}")

        pad = joystick.Joystick(cmd_mapping=["left_y", "right_x"], dds_domain_id=args.domain,
                                ros2_domain_id=args.ros_domain)
        deadline = time.monotonic() + 10
        cmd = pad.get_cmd()["cmd_vector"]
        while not any(cmd) and time.monotonic() < deadline:
            time.sleep(0.02)
            cmd = pad.get_cmd()["cmd_vector"]
        if len(cmd) != 2 or not any(cmd):
            fail(f"get_cmd gave no gamepad command from the demo gamepad: {cmd!r}")
        step(f"Joystick configured over the ROS 2 service; get_cmd: {[round(v, 3) for v in cmd]}")
        r.finish()

        # The recorder's native readers come from the wheel too (the system's libddsc is
        # hidden where this runs); the demo gamepad gives it something to hear.
        if sim is not None:
            rec = subprocess.run([str(Path(sys.prefix, "bin", "tarvek-record")), "--domain", str(args.domain),
                                  "--duration", "1.5", "-o", str(workdir / "smoke.mcap")],
                                 capture_output=True, text=True, timeout=60)
            if rec.returncode != 0 or not re.search(r"user_command [1-9]", rec.stderr):
                fail(f"tarvek-record exited with {rec.returncode}: {rec.stderr[-1000:]}")
            step(f"tarvek-record: {rec.stderr.strip().splitlines()[-1]}")

        # Secured domains stop at 230, the highest id Cyclone's access control accepts.
        if sim is not None:
            secured_exchange(args.sim, args.domain + 1, args.ros_domain - 1, workdir, wheel_root)

        # Anything loaded later (by DDS or the ROS 2 layer at run time) counts too.
        bad = foreign_libraries(mapped_objects() - before, wheel_root)
        if bad:
            fail("the exchange loaded libraries from outside the wheel: " + ", ".join(bad))
        if sim is not None:
            sim_bad = foreign_libraries(mapped_objects(sim.proc.pid), wheel_root)
            if sim_bad:
                fail("the simulator loaded libraries from outside the wheel: " + ", ".join(sim_bad))
        step("no library outside the wheel was loaded")
    finally:
        if sim is not None:
            sim.stop()
    print("wheel smoke: passed", flush=True)


if __name__ == "__main__":
    main()
