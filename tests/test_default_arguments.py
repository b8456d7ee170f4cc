"""Robot() and Joystick() as a user first writes them: DDS domain 1 and ROS 2 domain 0. Those
are the domains a real robot uses, so the child process and the simulator share a private
loopback configuration whose ports no other participant on this machine uses."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT


@pytest.fixture
def private_uri(tmp_path):
    text = (ROOT / "config" / "cyclonedds-loopback.xml").read_text()
    # A domain's ports are base + 250 * id + 0..91 (with at most 40 participants); the
    # default base is 7400. Half a domain further on, domains 0 and 1 fall into the gaps
    # between the ports of the default mapping, which the rest of the suite uses.
    base = 7400 + 125
    text = text.replace("<Discovery>", f"<Discovery>\n      <Ports><Base>{base}</Base></Ports>", 1)
    path = tmp_path / "private.xml"
    path.write_text(text)
    return f"file://{path}"


@pytest.mark.parametrize(
    "make_robot, make_joystick",
    [
        ("robot.Robot()", "joystick.Joystick()"),
        ("robot.Robot(True)", "joystick.Joystick(dds_domain_id=True, ros2_domain_id=False)"),
    ],
    ids=["no-arguments", "bools-as-ids"],
)
def test_defaults_join_dds_domain_1_and_ros_domain_0(start_sim, state_dir, private_uri, make_robot,
                                                      make_joystick):
    sim = start_sim("--ros-domain", "0", "--trace-obs", sim_domain=1,
                    env={"CYCLONEDDS_URI": private_uri})
    code = f"""
        import ctypes, json, os, time, joystick, robot
        r = {make_robot}
        r.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
        obs = r.get_obs()
        j = {make_joystick}
        getenv = ctypes.CDLL(None).getenv
        getenv.restype = ctypes.c_char_p
        print(json.dumps({{"ros": getenv(b"ROS_DOMAIN_ID").decode(), "obs": sorted(obs),
                           "files": sorted(os.listdir(os.environ["TMPDIR"]))}}))
    """
    env = {k: v for k, v in os.environ.items() if k != "ROS_DOMAIN_ID"}
    env.update(CYCLONEDDS_URI=private_uri, TMPDIR=str(state_dir))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    result = json.loads(out.stdout.strip().splitlines()[-1])
    assert result["ros"] == "0"
    assert result["files"] == ["tarvek_sdk_runtime_state_1.txt"]
    assert "dof_pos" in result["obs"]
    sim.wait_sample("user_gains", kp=[1, 2, 3, 4])
    # The joystick read the state file of domain 1, and reached the service on ROS 2 domain 0.
    request = sim.wait_for(lambda e: e.get("event") == "service_request")
    assert request["fields"]["kp"] == [1, 2, 3, 4] and request["fields"]["kd"] == [5, 6, 7, 8]
