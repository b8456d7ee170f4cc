"""DDS Security end to end, with the real plugins: keys and configurations from tarvek-keys,
the simulator secured by its configuration alone, SDK programs, strangers and the recorder
in processes of their own on loopback."""

from __future__ import annotations

import json
import os
import socket
import stat
import struct
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest
from mcap.reader import make_reader

from conftest import LOOPBACK_URI
from test_recorder import start_recorder  # noqa: F401 (a fixture)
from tarvek_keys.cli import main as tarvek_keys

# Observation values no other float on the wire is likely to share, exact in float32.
MARK = [1234.5, -876.25, 3.0625]


def keys(*args, capsys) -> tuple[int, str, str]:
    rc = tarvek_keys([str(a) for a in args])
    out, err = capsys.readouterr()
    return rc, out, err


@pytest.fixture(scope="module")
def uris(tmp_path_factory) -> dict[str, str]:
    """CYCLONEDDS_URI per identity: the robot (controller), a policy (drive), a watcher
    (observe), and a stranger whose drive identity comes from another keystore's CA."""
    root = tmp_path_factory.mktemp("keys")
    out = {}
    for ks, names in (("ks", [("robot", "controller"), ("policy", "drive"),
                              ("watcher", "observe")]),
                      ("other", [("stranger", "drive")])):
        assert tarvek_keys(["init", str(root / ks)]) == 0
        for name, role in names:
            assert tarvek_keys(["add", str(root / ks), name, "--role", role]) == 0
            assert tarvek_keys(["config", str(root / ks), name, "-o", str(root / f"{name}.xml")]) == 0
            out[name] = (root / f"{name}.xml").as_uri()
    return out


def run_child(code: str, uri: str, state_dir: Path, timeout: float = 60) -> subprocess.CompletedProcess:
    env = {**os.environ, "CYCLONEDDS_URI": uri, "TMPDIR": str(state_dir)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


class LoopbackCapture:
    """Every frame on lo while it runs (this test's network namespace hears only its own
    processes), read from a raw packet socket."""

    def __init__(self):
        try:
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        except PermissionError:
            pytest.skip("capturing on lo needs CAP_NET_RAW (the suite runs as root in CI)")
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.05)
        self.frames: list[bytes] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                self.frames.append(self.sock.recv(65535))
            except TimeoutError:
                pass

    def stop(self) -> list[bytes]:
        self._stop.set()
        self._thread.join(timeout=5)
        self.sock.close()
        return self.frames


@pytest.fixture
def capture():
    c = LoopbackCapture()
    yield c
    c.stop()


POLICY = """
    import json, joystick, robot
    r = robot.Robot(dds_domain_id={domain})
    r.set_gains(kp=[20, 20, 6, 6], kd=[0.5, 0.5, 0.6, 0.6])
    pad = joystick.Joystick(cmd_mapping=["left_y", "right_x"], dds_domain_id={domain},
                            ros2_domain_id={ros_domain})
    for _ in range(300):
        obs = r.get_obs()
        forward, turn = pad.get_cmd()["cmd_vector"]
        left, right = obs["dof_pos"][2:4]
        r.do_action([0.35, 0.35, left + forward - turn, right + forward + turn])
    r.finish()
    print(json.dumps(obs))
"""


@pytest.mark.parametrize("secured", [True, False], ids=["secured", "unsecured"])
def test_policy_loop_recorded_by_an_observer_and_unreadable_on_the_wire(
        secured, uris, capture, start_sim, start_recorder, domain, fresh_ros_domain, state_dir,
        monkeypatch):
    sim_uri, policy_uri, watcher_uri = ((uris["robot"], uris["policy"], uris["watcher"])
                                        if secured else (LOOPBACK_URI,) * 3)
    sim = start_sim("--ros-domain", str(fresh_ros_domain), "--gamepad", "demo",
                    env={"CYCLONEDDS_URI": sim_uri})
    sim.send("obs_fixed", fields={"ang_vel": MARK})
    monkeypatch.setenv("CYCLONEDDS_URI", watcher_uri)  # for the recorder only
    rec = start_recorder(domain)
    run = run_child(POLICY.format(domain=domain, ros_domain=fresh_ros_domain), policy_uri,
                    state_dir)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)["ang_vel"] == MARK
    assert rec.stop() == 0
    frames = capture.stop()

    assert sim.samples("user_gains") and len(sim.samples("user_action")) >= 300
    with open(rec.path, "rb") as f:
        recorded = [c.topic for _, c, _ in make_reader(f).iter_messages()]
    # The recorder authenticates with the policy while the policy does with the simulator,
    # so it may come in a little late; most of the run must be there.
    assert recorded.count("user_obs") >= 150 and recorded.count("user_action") >= 150

    # Two adjacent values of the observation as they travel (little-endian float32).
    needle = struct.pack("<2f", *MARK[:2])
    in_clear = sum(needle in frame for frame in frames)
    assert len(frames) > 600
    if secured:
        assert in_clear == 0, f"{in_clear} of {len(frames)} frames carry the observation in clear"
    else:
        assert in_clear >= 300  # the capture does see what travels in clear


INTRUDER = """
    import robot
    r = robot.Robot(dds_domain_id={domain})
    r.set_gains(kp=[1, 2, 3, 4], kd=[0.1, 0.2, 0.3, 0.4])
    r.do_action([0.5, 0.5, 0.5, 0.5], torque_ctrl=True)
    try:
        r.get_obs()
    except RuntimeError as e:
        print(e)
"""


@pytest.mark.slow
def test_strangers_get_no_observation_and_change_nothing(uris, start_sim, domain, state_dir):
    sim = start_sim("--trace-obs", env={"CYCLONEDDS_URI": uris["robot"]})
    code = INTRUDER.format(domain=domain)
    env = {**os.environ, "TMPDIR": str(state_dir)}
    intruders = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                  env={**env, "CYCLONEDDS_URI": uri}, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
                 for uri in (LOOPBACK_URI, uris["stranger"])]
    for p in intruders:
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err
        assert out.strip() == "getObs() timed out before a fresh observation arrived"
    assert not [e for e in sim.poll() if e.get("event") == "sample"]


def test_an_observer_cannot_make_a_robot(uris, domain, state_dir):
    run = run_child("""
        import robot
        try:
            robot.Robot(dds_domain_id={domain})
        except RuntimeError as e:
            print(e)
    """.format(domain=domain), uris["watcher"], state_dir)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "dds_create_writer(user_mode): Not Allowed By Security"


@pytest.mark.parametrize("command", [["init", "ks"], ["add", "ks", "policy", "--role", "drive"]],
                         ids=["ca", "identity"])
def test_keys_are_private_and_never_replaced_without_force(command, tmp_path, capsys):
    keys("init", tmp_path / "ks", capsys=capsys)
    keys("add", tmp_path / "ks", "policy", "--role", "drive", capsys=capsys)
    key = tmp_path / "ks" / ("private/ca.key.pem" if command[0] == "init" else
                             "enclaves/policy/key.pem")
    before = key.read_bytes()
    argv = [tmp_path / a if a == "ks" else a for a in command]

    assert keys(*argv, capsys=capsys) == (
        1, "", f"tarvek-keys: {key} exists; pass --force to replace it\n")
    assert key.read_bytes() == before

    assert keys(*argv, "--force", capsys=capsys)[0] == 0
    assert key.read_bytes() != before
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    assert not [p for p in key.parent.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize("domains", ["0-232", "231", "9-3"])
def test_domains_the_access_control_plugin_cannot_take_are_refused(domains, tmp_path, capsys):
    # A document naming a domain above 230 would make every participant fail to start.
    with pytest.raises(SystemExit) as refused:
        tarvek_keys(["init", str(tmp_path / "ks"), "--domains", domains])
    assert refused.value.code == 2
    assert "secured domain ids go from 0 to 230, low to high" in capsys.readouterr().err
    assert not (tmp_path / "ks").exists()
