"""tarvek-record against the simulated controller: what it records is what the controller
saw and sent, sample for sample; its files open in independent readers; it ends cleanly on
SIGINT and SIGTERM and leaves a readable file when killed; and it changes nothing for the
SDK (first contact with a recorder running)."""

from __future__ import annotations

import os
import re
import signal
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory

import robot
import test_first_contact
from tarvek_record.runfile import decoded, load

SIX = ("user_mode", "user_command", "user_action", "user_gains", "user_obs_request", "user_obs")
SERVICE = ("rq/dynamic_param_configRequest", "rr/dynamic_param_configReply")


def f32(values):
    """What a value the simulator printed reads back as once it travelled as float32."""
    if isinstance(values, list):
        return [f32(v) for v in values]
    return struct.unpack("f", struct.pack("f", values))[0]


class RecorderProcess:
    def __init__(self, tmp_path: Path, domain: int, *args: str, name: str = "run"):
        self.path = tmp_path / f"{name}.mcap"
        self.log_path = tmp_path / f"{name}.log"
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [str(Path(sys.prefix) / "bin" / "tarvek-record"), "--domain", str(domain),
             "-o", str(self.path), *args],
            stdout=self._log, stderr=subprocess.STDOUT)
        self.wait_log(r"^recording ")

    def log(self) -> str:
        return self.log_path.read_text()

    def wait_log(self, pattern: str, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while not re.search(pattern, self.log(), re.M):
            if self.proc.poll() is not None:
                raise AssertionError(f"recorder exited with {self.proc.returncode}: {self.log()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"recorder never logged {pattern!r}: {self.log()}")
            time.sleep(0.01)

    def wait_matched(self, *topics: str) -> None:
        for topic in topics:
            self.wait_log(rf"^{re.escape(topic)}: [1-9]")

    def stop(self, sig=signal.SIGINT, timeout: float = 10.0) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            self._log.close()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self._log.close()


@pytest.fixture
def start_recorder(tmp_path):
    recorders: list[RecorderProcess] = []

    def start(domain: int, *args: str, name: str = "run") -> RecorderProcess:
        rec = RecorderProcess(tmp_path, domain, *args, name=name)
        recorders.append(rec)
        return rec

    yield start
    for rec in recorders:
        rec.kill()


def robot_matched(rec: RecorderProcess) -> None:
    rec.wait_matched("user_mode", "user_action", "user_gains", "user_obs_request")


def test_every_channel_decodes_with_independent_readers_to_what_the_controller_saw(
        start_sim, start_recorder, domain, fresh_ros_domain, state_dir):
    sim = start_sim("--trace-obs", "--ros-domain", str(fresh_ros_domain))
    rec = start_recorder(domain, "--ros-domain", str(fresh_ros_domain))
    rec.wait_matched("user_obs", "user_command", "rr/dynamic_param_configReply")
    r = robot.Robot(domain)
    robot_matched(rec)
    r.set_gains([20, 21.5, 2, 2], [0.5, 0.25, 0.125, 0.1])
    r.do_action([0.1, -0.2, 0.3, -0.4], torque_ctrl=True)
    got = r.get_obs()
    r.finish()
    sim.send("publish_command", values=[0.5, -1, 0, 0.25, 1, -1, 1, 0])
    fields = {"dof_pos": [1.5, 2], "dof_vel": [], "dof_tau": [3.25], "ang_vel": [0.1, 0.2, 0.3],
              "proj_grav": [0, 0, -1], "lin_vel": [7], "height_map": [0.01] * 25}
    sim.send("publish_obs", fields=fields)
    # A Joystick in a process of its own (a fresh ROS 2 context); each construction is a new
    # client, so some of them may come before the recorder matched it: every one recorded
    # must equal what the controller received.
    subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import joystick
        for _ in range(3):
            joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
        """)], env={**os.environ, "TMPDIR": str(state_dir)}, check=True, timeout=60)
    sim.wait_for(lambda e: e.get("event") == "service_reply")
    time.sleep(0.2)  # the last samples reach the recorder
    assert rec.stop() == 0

    # mcap and mcap-ros2-support decode every channel, from its schema alone.
    with open(rec.path, "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        summary = reader.get_summary()
        assert sorted(c.topic for c in summary.channels.values()) == sorted(SIX + SERVICE)
        assert {summary.schemas[c.schema_id].encoding for c in summary.channels.values()} == {"ros2msg"}
        assert {c.message_encoding for c in summary.channels.values()} == {"cdr"}
        msgs: dict[str, list] = {}
        for _, channel, message, ros_msg in reader.iter_decoded_messages():
            msgs.setdefault(channel.topic, []).append(ros_msg)
            assert message.publish_time <= message.log_time + 1_000_000
    assert [m.enabled for m in msgs["user_mode"]] == [e["enabled"] for e in sim.samples("user_mode")]
    assert [(list(m.kp), list(m.kd)) for m in msgs["user_gains"]] == [
        (f32(e["kp"]), f32(e["kd"])) for e in sim.samples("user_gains")]
    assert [(list(m.value), m.torque_control) for m in msgs["user_action"]] == [
        (f32(e["value"]), e["torque_control"]) for e in sim.samples("user_action")]
    assert [m.request for m in msgs["user_obs_request"]] == [
        e["request"] for e in sim.samples("user_obs_request")]
    published = [e for e in sim.poll() if e.get("event") == "published"]
    assert len(msgs["user_obs"]) == sum(e["topic"] == "user_obs" for e in published)
    assert {k: list(getattr(msgs["user_obs"][0], k)) for k in got} == got
    assert {k: list(getattr(msgs["user_obs"][-1], k)) for k in fields} == {
        k: f32(v) for k, v in fields.items()}
    assert [list(m.motion_command) for m in msgs["user_command"]] == [
        f32(e["motion_command"]) for e in published if e["topic"] == "user_command"]

    requests = {(e["client_id"], e["sequence_number"]): e["fields"]
                for e in sim.poll() if e.get("event") == "service_request"}
    recorded = {(m.client_id, m.sequence_number): m for m in msgs[SERVICE[0]]}
    assert recorded and set(recorded) <= set(requests)
    for key, m in recorded.items():
        expected = requests[key]
        assert len(expected) == 23
        for name, value in expected.items():
            have = getattr(m, name)
            if name == "field_23":  # [8][4] in the type, flattened in the schema
                value = [x for group in value for x in group]
            if isinstance(value, list):
                assert list(have) == (f32(value) if name not in ("field_1", "slot_of", "field_15") else value), name
            elif isinstance(value, float) and name not in ("field_12", "field_13"):
                assert have == f32(value), name
            else:
                assert have == value, name
    replies = [e for e in sim.poll() if e.get("event") == "service_reply"]
    assert [(m.success, m.message) for m in msgs[SERVICE[1]]][-1] == (
        replies[-1]["success"], replies[-1]["message"])

    # The summary and the picture of the same file.
    info = subprocess.run([str(Path(sys.prefix) / "bin" / "tarvek-record"), "info", str(rec.path)],
                          capture_output=True, text=True, check=True).stdout
    assert re.search(rf"^user_action\s+{len(msgs['user_action'])}\s", info, re.M), info
    png = rec.path.with_suffix(".png")
    subprocess.run([str(Path(sys.prefix) / "bin" / "tarvek-record"), "plot", str(rec.path),
                    "-o", str(png)], check=True, capture_output=True)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_thousand_hertz_loop_is_recorded_without_a_sample_missing(
        start_sim, start_recorder, domain, state_dir):
    sim = start_sim("--trace-obs")
    rec = start_recorder(domain)
    rec.wait_matched("user_obs", "user_command")
    r = robot.Robot(domain)  # writes nothing until called
    robot_matched(rec)
    sim.send("gamepad", mode="demo", rate=1000)
    r.set_gains([20] * 4, [0.5] * 4)
    loops = 2500
    period = 0.001
    next_t = time.perf_counter()
    for i in range(loops):
        r.do_action([float(i), 0, 0, 0])
        r.get_obs()
        next_t += period
        while time.perf_counter() < next_t:
            pass
    r.finish()
    sim.send("gamepad", mode="none")
    time.sleep(0.3)
    assert rec.stop() == 0

    run = load(rec.path)
    assert run.complete
    counts = {t: len(run.topic(t)) for t in SIX}
    published = [e for e in sim.poll() if e.get("event") == "published"]
    expected = {
        **{t: len(sim.samples(t)) for t in ("user_mode", "user_action", "user_gains", "user_obs_request")},
        "user_obs": sum(e["topic"] == "user_obs" for e in published),
        "user_command": sum(e["topic"] == "user_command" for e in published),
    }
    assert counts == expected
    assert counts["user_action"] == loops + 1  # and the last action again on finish
    actions = [a["value"][0] for _, a in decoded(run, "user_action")]
    assert actions == [float(i) for i in range(loops)] + [loops - 1.0]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
                         ids=["SIGINT", "SIGTERM", "SIGKILL"])
def test_ending_by_signal_leaves_a_readable_file(start_sim, start_recorder, domain, sig):
    sim = start_sim("--trace-obs")
    rec = start_recorder(domain)
    rec.wait_matched("user_command")
    sim.send("gamepad", mode="demo", rate=500)
    time.sleep(2.5)
    stopped_at = time.monotonic()
    if sig == signal.SIGKILL:
        rec.kill()
    else:
        assert rec.stop(sig) == 0
    sent = [e for e in sim.poll() if e.get("event") == "published" and e["topic"] == "user_command"]

    run = load(rec.path)
    got = [c["motion_command"] for _, c in decoded(run, "user_command")]
    # What was recorded is what was sent, in order, with nothing skipped.
    assert got == [f32(e["motion_command"]) for e in sent[:len(got)]]
    if sig == signal.SIGKILL:
        # Only the last second (the chunk being filled) may be lost.
        assert not run.complete
        assert len(got) >= sum(e["t"] < stopped_at - 1.2 for e in sent)
    else:
        assert run.complete
        assert len(got) >= sum(e["t"] < stopped_at - 0.05 for e in sent)
        with open(rec.path, "rb") as f:
            stats = make_reader(f).get_summary().statistics
        assert stats.message_count == len(run.records)


def test_a_recorder_started_late_still_gets_the_current_user_mode(
        start_sim, start_recorder, domain, state_dir):
    sim = start_sim("--trace-obs")
    r = robot.Robot(domain)
    r.set_gains([20] * 4, [0.5] * 4)
    r.enable_user_mode()
    started = time.time_ns()
    rec = start_recorder(domain)
    rec.wait_matched("user_mode", "user_action")
    r.do_action([1, 2, 3, 4])
    r.finish()
    time.sleep(0.2)
    assert rec.stop() == 0
    run = load(rec.path)
    # The mode written before the recorder existed comes first, with its own time stamp.
    assert [m["enabled"] for _, m in decoded(run, "user_mode")] == [
        e["enabled"] for e in sim.samples("user_mode")]
    assert run.topic("user_mode")[0].publish_time < started
    assert [a["value"] for _, a in decoded(run, "user_action")] == [[1, 2, 3, 4]] * 2
    # The gains in force too, kept for late readers as user mode is.
    assert [g["kp"] for _, g in decoded(run, "user_gains")] == [[20] * 4]
    assert run.topic("user_gains")[0].publish_time < started


@pytest.mark.parametrize("recorder_first", [True, False], ids=["recorder-before", "recorder-after"])
def test_gains_are_recorded_from_a_recorder_started_before_or_after_set_gains(
        recorder_first, start_sim, start_recorder, domain, state_dir):
    """Each run is a new Robot, as a new program is, setting its gains at once; the recorder
    has them whether it was listening before the Robot existed or started afterwards."""
    start_sim()
    runs = 20
    rec = None
    if recorder_first:
        rec = start_recorder(domain)
        rec.wait_matched("user_obs")
    missed = []
    for k in range(1, runs + 1):
        r = robot.Robot(domain)
        r.set_gains([float(k)] * 4, [0.5] * 4)
        if not recorder_first:
            # A second setting replaces the first: a late recorder gets only the one in force.
            r.set_gains([k + 0.5] * 4, [0.5] * 4)
            late = start_recorder(domain, name=f"late{k}")
            late.wait_matched("user_gains")
            time.sleep(0.3)  # the writer sends what it kept once it has matched the reader
            assert late.stop() == 0
            got = [g["kp"][0] for _, g in decoded(load(late.path), "user_gains")]
            if got != [k + 0.5]:
                missed.append((k, got))
        else:
            # A program's life: its loop gives the recorder time to find the new writer.
            for _ in range(100):
                r.get_obs()
                r.do_action([0.35, 0.35, 0, 0])
        r.finish()
        del r
    if rec is not None:
        time.sleep(0.2)
        assert rec.stop() == 0
        got = [g["kp"][0] for _, g in decoded(load(rec.path), "user_gains")]
        missed = [k for k in range(1, runs + 1) if float(k) not in got]
    assert missed == []


# A recorder is no controller: its readers, matched before the controller's, must not end the
# first-contact wait.
@pytest.mark.parametrize("sequence", [
    test_first_contact.test_get_obs_first_switches_user_mode_on_then_off_every_time,
    test_first_contact.test_gains_then_action_first_all_arrive_every_time,
], ids=["get_obs-first", "gains-then-action-first"])
def test_first_contact_with_a_recorder_started_before_the_robot(
        sequence, start_sim, start_recorder, domain, state_dir):
    def start_sim_after_recorder(*args, **kwargs):
        rec = start_recorder(domain)
        sim = start_sim(*args, **kwargs)
        rec.wait_matched("user_obs")
        return sim

    sequence(start_sim_after_recorder, domain, state_dir)
