"""Joystick construction against the simulated controller: the configuration request it
sends, the runtime state file it reads, every way construction fails, and get_cmd."""

import gc
import os
import struct
import time

import pytest

import joystick
import robot
from conftest import SESSION_ROS_DOMAIN

F32_MAX = 3.4028234663852886e38


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


DEFAULT_KP = [35.0, 35.0, 0.0, 0.0]
DEFAULT_KD = [f32(0.45), f32(0.45), f32(0.3), f32(0.3)]

# The configuration request of Joystick() with no state file: every one of its 23 fields.
DEFAULT_REQUEST = {
    "field_1": [1, 2, 3, 4],
    "kp": DEFAULT_KP,
    "kd": DEFAULT_KD,
    "field_4": [36.0, 36.0, 17.0, 17.0],
    "slot_of": [2, 0, 1, 3, 4, 5, 6, 7],
    "dpad_step_x": f32(0.1),
    "dpad_step_y": f32(0.1),
    "field_8": 50.0,
    "field_9": 0.07999999821186066,
    "range_low": [-0.5, -1.5, -1.0, -1.0, -1.0, -1.0, 0.0, 0.0],
    "range_high": [0.5, 1.5, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0],
    "field_12": 5.0,
    "field_13": 2.5,
    "field_14": True,
    "field_15": [0, 1, 2, 3, 4, 5],
    "lower_bounds": [-F32_MAX] * 8,
    "upper_bounds": [F32_MAX] * 8,
    "field_18": 1.0,
    "field_19": 100.0,
    "field_20": 100.0,
    "field_21": [1.0] * 5,
    "field_22": -(2**31),
    "field_23": [[0.0, f32(0.1), 18.0, 20.0]] * 6 + [[-1.0, -1.0, -1.0, 60.0], [-1.0, -1.0, -1.0, float("inf")]],
}


def make(domain, *args, **kwargs):
    return joystick.Joystick(*args, dds_domain_id=domain, ros2_domain_id=SESSION_ROS_DOMAIN, **kwargs)


def request_fields(sim, start=0):
    return sim.wait_for(lambda e: e.get("event") == "service_request", start=start)["fields"]


def test_default_request_carries_every_field_as_tabled(jsim, domain, state_dir):
    make(domain)
    assert request_fields(jsim) == DEFAULT_REQUEST


def test_custom_mapping_and_ranges(jsim, domain, state_dir):
    make(domain, ["right_btn", "left_x"],
         {"dpad_step_x": 0.25, "dpad_step_y": 0.1, "right_y": [-2, 1e300], "right_btn": (0, 0)})
    fields = request_fields(jsim)
    assert fields["slot_of"] == [1, 2, 3, 4, 5, 6, 7, 0]
    assert fields["dpad_step_x"] == 0.25 and fields["dpad_step_y"] == f32(0.1)
    # Slot order: right_btn, left_x, then left_y, right_x, right_y, dpad_x, dpad_y, left_btn.
    assert fields["range_low"] == [0.0, -1.0, -0.5, -1.5, -2.0, -1.0, -1.0, 0.0]
    assert fields["range_high"] == [0.0, 1.0, 0.5, 1.5, float("inf"), 1.0, 1.0, 1.0]


def test_positional_and_keyword_arguments_agree(jsim, domain, state_dir):
    joystick.Joystick(["dpad_y"], {"dpad_y": [-3, 3]}, domain, SESSION_ROS_DOMAIN)
    mark = jsim.mark()
    joystick.Joystick(cmd_range={"dpad_y": [-3, 3]}, ros2_domain_id=SESSION_ROS_DOMAIN,
                      cmd_mapping=("dpad_y",), dds_domain_id=domain)
    first = jsim.wait_for(lambda e: e.get("event") == "service_request")
    second = jsim.wait_for(lambda e: e.get("event") == "service_request", start=mark)
    assert first["fields"] == second["fields"]
    assert second["sequence_number"] > first["sequence_number"]


def test_gains_written_by_a_robot_on_the_same_domain_are_sent(jsim, domain, state_dir):
    r = robot.Robot(domain)
    r.set_gains([20, 20, 20, 20], [0.5, 0.5, 0.5, 0.5])
    make(domain)
    fields = request_fields(jsim)
    assert fields["kp"] == [20.0] * 4 and fields["kd"] == [0.5] * 4


@pytest.mark.parametrize(
    "text, kp, kd",
    [
        ("12\n1\n2\n", DEFAULT_KP, DEFAULT_KD),
        ("4\n1\n2\n", [1.0, 2.0, 0.0, 0.0], DEFAULT_KD),
        ("4\n1\nabc\n3\n4\n", [1.0, 0.0, 0.0, 0.0], DEFAULT_KD),
        ("4\n1e40\n2\n3\n4\n", [F32_MAX, 35.0, 0.0, 0.0], DEFAULT_KD),
        ("4\n7\n-1e40\n3\n4\n", [7.0, -F32_MAX, 0.0, 0.0], DEFAULT_KD),
        ("4 1 2 3 4 4 5 6 7 8 trailing words", [1, 2, 3, 4], [5, 6, 7, 8]),
        ("4\n1\n2\n3\n4\n3\n5\n", [1, 2, 3, 4], DEFAULT_KD),
        ("4\n1\n2\n3\n4\n4\n5\n6\n", [1, 2, 3, 4], [5.0, 6.0, f32(0.3), f32(0.3)]),
        ("", DEFAULT_KP, DEFAULT_KD),
        ("-4\n1\n2\n3\n4\n", DEFAULT_KP, DEFAULT_KD),
        # One more than the joint count: a reader that took "at least 4" would pass these.
        ("5\n1\n2\n3\n4\n5\n4\n5\n6\n7\n8\n", DEFAULT_KP, DEFAULT_KD),
        ("4\n1\n2\n3\n4\n5\n5\n6\n7\n8\n9\n", [1, 2, 3, 4], DEFAULT_KD),
    ],
    ids=["wrong-count", "truncated-kp", "malformed", "too-large", "too-small", "any-whitespace",
         "wrong-kd-count", "truncated-kd", "empty", "negative-count", "kp-count-5", "kd-count-5"],
)
def test_runtime_state_file_variants(jsim, domain, state_dir, text, kp, kd):
    (state_dir / f"tarvek_sdk_runtime_state_{domain}.txt").write_text(text)
    make(domain)
    fields = request_fields(jsim)
    assert fields["kp"] == kp and fields["kd"] == kd


def test_file_of_another_domain_is_not_read(jsim, domain, state_dir):
    (state_dir / f"tarvek_sdk_runtime_state_{domain + 1}.txt").write_text("4 1 2 3 4 4 5 6 7 8\n")
    make(domain)
    assert request_fields(jsim)["kp"] == DEFAULT_KP


def test_a_file_owned_by_another_user_is_ignored(jsim, domain, state_dir):
    path = state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"
    path.write_text("4 1 2 3 4 4 5 6 7 8\n")
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)
    else:
        pytest.skip("needs root to plant a file owned by someone else")
    make(domain)
    assert request_fields(jsim)["kp"] == DEFAULT_KP


@pytest.mark.parametrize("target", ["own-file", "/proc/self/pagemap", "/dev/zero"])
def test_a_link_at_the_state_path_means_defaults(jsim, domain, state_dir, tmp_path, target):
    # Whoever planted the link chose where it leads: a file that looks like ours, or one
    # that never ends.
    if target == "own-file":
        target = tmp_path / "gains.txt"
        target.write_text("4 1 2 3 4 4 5 6 7 8\n")
    (state_dir / f"tarvek_sdk_runtime_state_{domain}.txt").symlink_to(target)
    t = time.monotonic()
    make(domain)
    # Following the link to the page map meant reading gigabytes, for seconds.
    assert time.monotonic() - t < 2.0
    fields = request_fields(jsim)
    assert fields["kp"] == DEFAULT_KP and fields["kd"] == DEFAULT_KD


def test_a_huge_state_file_is_read_only_at_its_start(jsim, domain, state_dir):
    path = state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"
    path.write_text("4 1 2 3 4 4 5 6 7 8\n")
    os.truncate(path, 1 << 30)  # sparse: a gigabyte of zero bytes after the gains
    t = time.monotonic()
    make(domain)
    # Reading all of it took seconds and gigabytes; the construction itself takes milliseconds.
    assert time.monotonic() - t < 2.0
    fields = request_fields(jsim)
    assert fields["kp"] == [1, 2, 3, 4] and fields["kd"] == [5, 6, 7, 8]


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_a_state_path_that_is_not_a_regular_file_means_defaults(jsim, domain, state_dir, kind):
    path = state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"
    os.mkfifo(path) if kind == "fifo" else path.mkdir()
    make(domain)
    assert request_fields(jsim)["kp"] == DEFAULT_KP


@pytest.mark.parametrize(
    "mode, message, expected",
    [
        ("reject", "gains out of range", "dynamic_param request rejected: gains out of range"),
        ("reject", " spaced: text ", "dynamic_param request rejected:  spaced: text "),
        ("reject_empty", "", "dynamic_param request rejected"),
    ],
)
def test_rejections_carry_the_robot_message(jsim, domain, state_dir, mode, message, expected):
    jsim.send("service_mode", mode=mode, message=message)
    with pytest.raises(RuntimeError) as err:
        make(domain)
    assert str(err.value) == expected


def assert_no_participant_left(sim, domain, start, must_have_seen_it):
    """The failed construction's DDS entities are gone. Whether the simulator discovered them
    before they were deleted is a matter of timing (a rejection can come back within a few
    milliseconds, before discovery of a new participant completes), so: a match it did see
    must end, and a participant made afterwards must be the only one it matches."""
    seen = [e for e in sim.poll()[start:] if e.get("event") == "matched"
            and e.get("topic") == "user_command" and e.get("count") == 1]
    assert seen or not must_have_seen_it
    if seen:
        sim.wait_matched("user_command", 0, timeout=5)
    probe = robot.Robot(domain)
    deadline = time.monotonic() + 5
    while (count := matched_now(sim, "user_command")) == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert count == 1 and matched_now(sim, "user_command") == 1
    del probe


def matched_now(sim, topic):
    """The simulator's own count at this moment, not the last change it reported."""
    mark = sim.mark()
    sim.send("status", wait=False)
    return sim.wait_for(lambda e: e.get("event") == "status", start=mark)["matched"][topic]


@pytest.mark.parametrize(
    "mode, message, seconds",
    [
        ("reject", "^dynamic_param request rejected: no$", 0.0),
        pytest.param("silent", "^dynamic_param service request timed out$", 5.0, marks=pytest.mark.slow),
        pytest.param("off", "^dynamic_param service is unavailable$", 3.0, marks=pytest.mark.slow),
    ],
)
def test_failed_construction_waits_its_time_and_deletes_its_participant(
        jsim, domain, state_dir, mode, message, seconds):
    jsim.send("service_mode", mode=mode, message="no")
    mark = jsim.mark()
    t = time.monotonic()
    with pytest.raises(RuntimeError, match=message):
        make(domain)
    assert seconds - 0.1 < time.monotonic() - t < seconds + 0.8
    # Seconds of waiting leave discovery ample time to have seen the participant come.
    assert_no_participant_left(jsim, domain, mark, must_have_seen_it=seconds >= 3)
    # A later joystick is not confused by what the failed one left unanswered.
    jsim.send("service_mode", mode="accept")
    make(domain)


def _in_missing_tempdir(construct):
    def fail(domain, tmp_path):
        saved = os.environ["TMPDIR"]
        os.environ["TMPDIR"] = str(tmp_path / "missing")
        try:
            construct(domain)
        finally:
            os.environ["TMPDIR"] = saved
    return fail


@pytest.mark.parametrize(
    "fail",
    [
        _in_missing_tempdir(robot.Robot),
        _in_missing_tempdir(make),
        lambda domain, _: make(domain, ["left_x"], {"left_x": (1, 0)}),
        lambda domain, _: make(domain, [b"\xff"]),
    ],
    ids=["robot-tempdir", "joystick-tempdir", "joystick-range", "joystick-undecodable-key"],
)
def test_construction_refused_before_dds_leaves_no_participant(jsim, domain, state_dir, tmp_path,
                                                              fail):
    mark = jsim.mark()
    with pytest.raises(RuntimeError):
        fail(domain, tmp_path)
    assert_no_participant_left(jsim, domain, mark, must_have_seen_it=False)
    assert not [e for e in jsim.poll()[mark:] if e.get("event") == "service_request"]


def test_destruction_sends_nothing_and_deletes_the_participant(jsim, domain, state_dir):
    j = make(domain)
    jsim.wait_matched("user_command", 1)
    mark = jsim.mark()
    del j
    gc.collect()
    jsim.wait_matched("user_command", 0, timeout=5)
    assert not [e for e in jsim.poll()[mark:] if e.get("event") in ("sample", "service_request")]


# -- get_cmd ---------------------------------------------------------------------------------

@pytest.fixture
def js(jsim, domain, state_dir):
    j = make(domain)
    wait_until_commands_arrive(jsim, j)
    return j


def publish(sim, values):
    sim.send("publish_command", values=values)


def wait_until_commands_arrive(sim, j):
    """The simulator's writer can match the Joystick's reader before that reader has matched
    the writer, and the reader drops what arrives meanwhile: publish until one command gets
    through, which also leaves nothing pending."""
    sim.wait_matched("user_command", 1)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        publish(sim, [0.5] * 8)
        sim.send("status")
        if any(j.get_cmd()["cmd_vector"]):
            return
    pytest.fail("no gamepad command reached the Joystick within 5 s")


def test_get_cmd_without_commands_returns_zeros_after_about_ten_ms(js):
    t = time.monotonic()
    assert js.get_cmd() == {"cmd_vector": [0.0] * 8}
    assert 0.008 < time.monotonic() - t < 0.2


def test_get_cmd_returns_the_newest_command_once(jsim, js):
    for k in range(3):
        publish(jsim, [k * 10 + s for s in range(8)])
    jsim.send("status")
    cmd = js.get_cmd()["cmd_vector"]
    assert cmd == [20.0, 21.0, 22.0, 23.0, 24.0, 25.0, 26.0, 27.0]
    assert all(type(x) is float for x in cmd)
    # Nothing new: the next call waits and returns zeros, not the previous values.
    assert js.get_cmd() == {"cmd_vector": [0.0] * 8}


def test_get_cmd_widens_exactly(jsim, js):
    publish(jsim, [0.1, -0.1, 1e-45, 3e38, 0, 0, 0, 0])
    jsim.send("status")
    assert js.get_cmd()["cmd_vector"][:4] == [f32(0.1), f32(-0.1), f32(1e-45), f32(3e38)]


def test_get_cmd_follows_the_mapping(jsim, domain, state_dir):
    j = make(domain, ["right_btn", "left_x"])
    wait_until_commands_arrive(jsim, j)
    publish(jsim, [1, 2, 3, 4, 5, 6, 7, 8])
    jsim.send("status")
    assert j.get_cmd() == {"cmd_vector": [1.0, 2.0]}


def test_a_pending_command_returns_at_once(jsim, js):
    publish(jsim, [1] * 8)
    jsim.send("status")
    t = time.monotonic()
    js.get_cmd()
    assert time.monotonic() - t < 0.009  # less than one 10 ms wait

