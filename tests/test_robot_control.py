"""User mode, gains and actions as the controller sees them."""

import gc
import os
import subprocess
import sys
import time

import pytest

import robot

F32_0_1 = 0.10000000149011612
GAINS = ([1, 2, 3, 4], [1, 2, 3, 4])


def modes(sim, start=0):
    return [e["enabled"] for e in sim.samples("user_mode", start)]


def quiet_for(sim, start, seconds=0.3):
    """Samples after `start`, once the simulator had time to report any stragglers."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.01)
    return [e for e in sim.poll()[start:] if e.get("event") == "sample"]


@pytest.fixture
def fresh(sim, domain, state_dir):
    """A Robot the controller has discovered, with nothing sent yet."""
    rb = robot.Robot(domain)
    for topic in ("user_mode", "user_action", "user_gains", "user_obs_request"):
        sim.wait_matched(topic)
    return rb


@pytest.fixture
def r(fresh, sim):
    """A Robot with gains set. The first set_gains also waits until this side has discovered
    the controller's readers, so nothing written afterwards can be lost to discovery."""
    fresh.set_gains(*GAINS)
    sim.wait_sample("user_gains")
    return fresh


def test_enable_user_mode_twice_writes_one_sample(r, sim):
    mark = sim.mark()
    r.enable_user_mode()
    r.enable_user_mode()
    sim.wait_sample("user_mode", start=mark, enabled=True)
    assert [e["topic"] for e in quiet_for(sim, mark)] == ["user_mode"]


def test_finish_on_a_new_robot_writes_nothing(fresh, sim):
    t = time.monotonic()
    fresh.finish()
    assert time.monotonic() - t < 0.1
    assert quiet_for(sim, 0) == []


def test_finish_sequence_and_repeat(r, sim):
    mark = sim.mark()
    r.enable_user_mode()
    r.finish()
    sim.wait_sample("user_mode", start=mark, enabled=False)
    got = [(e["topic"], e.get("value"), e.get("torque_control"), e.get("enabled"))
           for e in quiet_for(sim, mark)]
    assert got == [
        ("user_mode", None, None, True),
        ("user_action", [0.0, 0.0, 0.0, 0.0], False, None),
        ("user_mode", None, None, False),
    ]
    mark = sim.mark()
    r.finish()
    assert quiet_for(sim, mark) == []


def test_finish_resends_the_last_action_without_torque(r, sim):
    r.do_action([0.5, -0.5, 1.5, 2.5], torque_ctrl=True)
    r.finish()
    sim.wait_sample("user_mode", enabled=False)
    actions = sim.samples("user_action")
    assert [(a["value"], a["torque_control"]) for a in actions] == [
        ([0.5, -0.5, 1.5, 2.5], True),
        ([0.5, -0.5, 1.5, 2.5], False),
    ]
    assert modes(sim) == [True, False]


def test_do_action_after_finish_switches_user_mode_back_on(r, sim):
    r.enable_user_mode()
    r.finish()
    sim.wait_sample("user_mode", enabled=False)
    mark = sim.mark()
    r.do_action([1, 1, 1, 1])
    sim.wait_sample("user_action", start=mark, value=[1.0, 1.0, 1.0, 1.0])
    sim.wait_sample("user_mode", start=mark, enabled=True)
    assert modes(sim, mark) == [True]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda r: r.do_action([1, 2, 3, 4]), False),
        (lambda r: r.do_action([1, 2, 3, 4], None), False),
        (lambda r: r.do_action([1, 2, 3, 4], 0), False),
        (lambda r: r.do_action([1, 2, 3, 4], 1), True),
        (lambda r: r.do_action(torque_ctrl=True, action=(1, 2, 3, 4)), True),
    ],
    ids=["default", "none", "zero", "one", "keywords"],
)
def test_torque_flag_conversion(r, sim, call, expected):
    call(r)
    a = sim.wait_sample("user_action")
    assert a["value"] == [1, 2, 3, 4] and a["torque_control"] is expected


def test_action_before_gains_is_refused_and_sends_nothing(fresh, sim):
    with pytest.raises(RuntimeError, match=r"^Call setGains\(\) before doAction\(\)$"):
        fresh.do_action([0, 0, 0, 0])
    assert quiet_for(sim, 0) == []


def test_wrong_gain_lengths_name_kp_first_and_send_nothing(fresh, sim, state_dir):
    with pytest.raises(RuntimeError, match="^kp length mismatch: expected 4, got 3$"):
        fresh.set_gains([1, 2, 3], [1, 2, 3, 4, 5])
    with pytest.raises(RuntimeError, match="^kd length mismatch: expected 4, got 5$"):
        fresh.set_gains([1, 2, 3, 4], [1, 2, 3, 4, 5])
    assert quiet_for(sim, 0) == []
    assert list(state_dir.iterdir()) == []


def test_wrong_action_length_switches_user_mode_on_then_raises(r, sim):
    mark = sim.mark()
    with pytest.raises(RuntimeError, match="^action length mismatch: expected 4, got 5$"):
        r.do_action([1, 2, 3, 4, 5])
    sim.wait_sample("user_mode", start=mark, enabled=True)
    assert [e["topic"] for e in quiet_for(sim, mark)] == ["user_mode"]
    # The refused action is not what finish sends back.
    r.finish()
    sim.wait_sample("user_mode", start=mark, enabled=False)
    assert sim.samples("user_action", mark)[-1]["value"] == [0, 0, 0, 0]


@pytest.mark.parametrize(
    "kp",
    [
        (1, 2, 3, 4),
        (x for x in (1, 2, 3, 4)),
        map(float, "1234"),
        {1: 0, 2: 0, 3: 0, 4: 0}.keys(),
        frozenset({1.0}) | {2.0, 3.0, 4.0},
    ],
    ids=["tuple", "generator", "map", "dict-keys", "set"],
)
def test_gains_accept_any_iterable_of_numbers(r, sim, kp):
    mark = sim.mark()
    r.set_gains(kp, [True, 2, 3.0, 4])
    g = sim.wait_sample("user_gains", start=mark)
    assert sorted(g["kp"]) == [1, 2, 3, 4] and g["kd"] == [1, 2, 3, 4]


def test_values_are_stored_as_32_bit_floats(r, sim):
    mark = sim.mark()
    r.set_gains([0.1, 3.4e38, -1e-50, 3], [0, 0, 0, 0])
    g = sim.wait_sample("user_gains", start=mark)
    assert g["kp"][0] == F32_0_1
    assert g["kp"][1] == 3.3999999521443642e38
    assert g["kp"][2] == 0.0


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize(
    "kp, kd, message",
    [
        ([1, 2, NAN, 4], [1, 2, 3, 4], "kp has non-finite value at index 2"),
        ([1, 2, 3, 4], [INF, 2, 3, 4], "kd has non-finite value at index 0"),
        ([1, 2, 3, -INF], [1, 2, 3, NAN], "kp has non-finite value at index 3"),
        # Finite for Python, an infinity once narrowed to the 32-bit floats that are sent.
        ([1, 1e40, 3, 4], [1, 2, 3, 4], "kp has non-finite value at index 1"),
        # Lengths are checked first, for both vectors.
        ([NAN, 2, 3], [1, 2, 3, 4], "kp length mismatch: expected 4, got 3"),
        ([NAN, 2, 3, 4], [1, 2, 3], "kd length mismatch: expected 4, got 3"),
    ],
    ids=["nan-kp", "inf-kd", "first-bad-vector", "beyond-float", "kp-length-first", "kd-length-first"],
)
def test_non_finite_gains_are_refused_before_anything_is_sent(fresh, sim, state_dir, kp, kd, message):
    with pytest.raises(RuntimeError) as err:
        fresh.set_gains(kp, kd)
    assert str(err.value) == message
    assert quiet_for(sim, 0) == []
    assert list(state_dir.iterdir()) == []
    # Nothing was recorded either: actions are still refused.
    with pytest.raises(RuntimeError, match=r"^Call setGains\(\) before doAction\(\)$"):
        fresh.do_action([0, 0, 0, 0])


@pytest.mark.parametrize(
    "action, message",
    [
        ([0, 0, 0, NAN], "action has non-finite value at index 3"),
        ([-INF, 0, 0, 0], "action has non-finite value at index 0"),
        ([0, -1e39, 0, 0], "action has non-finite value at index 1"),
        ([NAN, 0, 0], "action length mismatch: expected 4, got 3"),
    ],
    ids=["nan", "minus-inf", "beyond-float", "length-first"],
)
def test_non_finite_actions_are_never_sent(r, sim, action, message):
    r.do_action([1, 1, 1, 1])
    sim.wait_sample("user_action", value=[1, 1, 1, 1])
    mark = sim.mark()
    with pytest.raises(RuntimeError) as err:
        r.do_action(action, torque_ctrl=True)
    assert str(err.value) == message
    assert quiet_for(sim, mark) == []
    # The refused action is not the one finish sends back.
    r.finish()
    sim.wait_sample("user_mode", start=mark, enabled=False)
    assert [a["value"] for a in sim.samples("user_action", mark)] == [[1, 1, 1, 1]]


def test_set_gains_right_after_construction_reaches_a_running_controller(sim, domain, state_dir):
    # No wait for discovery here: the SDK must not lose the first gains, nor the first action.
    r = robot.Robot(domain)
    r.set_gains([7, 7, 7, 7], [1, 1, 1, 1])
    r.do_action([3, 3, 3, 3])
    sim.wait_sample("user_gains", kp=[7, 7, 7, 7], timeout=3)
    sim.wait_sample("user_action", value=[3, 3, 3, 3], timeout=3)


def test_set_gains_without_controller_waits_boundedly_once(domain, state_dir):
    r = robot.Robot(domain)
    t = time.monotonic()
    r.set_gains(*GAINS)
    first = time.monotonic() - t
    t = time.monotonic()
    r.set_gains(*GAINS)
    second = time.monotonic() - t
    assert 0.9 < first < 1.6
    assert second < 0.1


def test_destroying_a_robot_in_user_mode_sends_the_finish_samples(sim, domain, state_dir):
    rb = robot.Robot(domain)  # owned by the test alone, so `del` really destroys it
    rb.set_gains(*GAINS)
    rb.do_action([4, 3, 2, 1])
    sim.wait_sample("user_action")
    mark = sim.mark()
    del rb
    gc.collect()
    sim.wait_sample("user_mode", start=mark, enabled=False)
    got = [(e["value"], e["torque_control"]) for e in sim.samples("user_action", mark)]
    assert got == [([4, 3, 2, 1], False)]


def test_destroying_a_robot_not_in_user_mode_sends_nothing(sim, domain, state_dir):
    rb = robot.Robot(domain)
    rb.set_gains(*GAINS)
    sim.wait_sample("user_gains")
    mark = sim.mark()
    del rb
    gc.collect()
    sim.wait_matched("user_mode", 0)
    assert quiet_for(sim, mark, 0.1) == []


def test_destruction_keeps_a_pending_exception(sim, domain, state_dir):
    def fail_with_robot_alive():
        rb = robot.Robot(domain)
        rb.set_gains(*GAINS)
        rb.enable_user_mode()
        raise KeyError("kept")

    with pytest.raises(KeyError, match="kept"):
        fail_with_robot_alive()
    gc.collect()
    sim.wait_sample("user_mode", enabled=False)


def test_domain_minus_one_is_the_library_default_domain(start_sim, state_dir):
    # All 32 bits set is the library's "default domain": the first domain the process joined,
    # else the configured one (0). A fresh process shows the latter.
    sim0 = start_sim(sim_domain=0)
    code = "import robot; robot.Robot(-1).set_gains([1, 2, 3, 4], [1, 2, 3, 4])"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=30,
                   env={**os.environ, "TMPDIR": str(state_dir)})
    sim0.wait_sample("user_gains", kp=GAINS[0])
    assert (state_dir / "tarvek_sdk_runtime_state_-1.txt").exists()


def test_two_robots_on_one_domain_share_the_state_file(sim, domain, state_dir):
    a, b = robot.Robot(domain), robot.Robot(domain)
    a.set_gains([1, 1, 1, 1], [1, 1, 1, 1])
    b.set_gains([2, 2, 2, 2], [2, 2, 2, 2])
    assert (state_dir / f"tarvek_sdk_runtime_state_{domain}.txt").read_text().startswith("4\n2\n")


@pytest.mark.slow
def test_finish_without_acknowledgement_times_out_and_can_be_repeated(r, sim):
    # The first action of a Robot waits for its acknowledgement while first contact lasts,
    # so it is sent while the controller still answers; finish sends the same zeros again.
    r.do_action([0, 0, 0, 0])
    sim.wait_sample("user_mode", enabled=True)
    sim.stop()  # matched but silent: it can never acknowledge
    try:
        for _ in range(2):
            t = time.monotonic()
            with pytest.raises(RuntimeError, match=r"^dds_wait_for_acks\(user_mode\): "):
                r.finish()
            assert 0.9 < time.monotonic() - t < 1.6
    finally:
        sim.cont()
    # The second attempt waited again instead of returning: user mode stayed on, and a
    # third attempt with a live controller completes the hand-back.
    mark = sim.mark()
    r.finish()
    sim.wait_sample("user_mode", start=mark, enabled=False)
    r.finish()  # now off: returns at once
