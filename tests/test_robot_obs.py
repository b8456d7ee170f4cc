"""Observation requests: freshness, content, and the fixed time-outs."""

import struct
import subprocess
import sys
import textwrap
import time

import pytest

import robot

KEYS = {"dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel"}


@pytest.fixture
def r(sim, domain, state_dir):
    rb = robot.Robot(domain)
    rb.set_gains([1, 2, 3, 4], [1, 2, 3, 4])  # returns once this side has found the controller
    sim.wait_sample("user_gains")
    return rb


def requests(sim, start=0):
    return sim.samples("user_obs_request", start)


def test_result_has_the_six_keys_as_lists_of_floats(r, sim):
    obs = r.get_obs()
    assert set(obs) == KEYS
    assert all(isinstance(v, list) and all(isinstance(x, float) for x in v) for v in obs.values())
    assert len(obs["dof_pos"]) == 4


def test_get_obs_switches_user_mode_on_first(r, sim):
    mark = sim.mark()
    r.get_obs()
    first = [e for e in sim.poll()[mark:] if e.get("event") == "sample"][0]
    assert first["topic"] == "user_mode" and first["enabled"] is True
    r.get_obs()
    assert len(sim.samples("user_mode")) == 1


def test_fields_come_back_exactly_and_empty_fields_as_empty_lists(r, sim):
    sim.send("obs_fixed", fields={"dof_pos": [0.1, -2.5, 3e38, 0], "lin_vel": [], "height_map": [1, 2]})
    obs = r.get_obs()
    assert obs["dof_pos"] == [0.10000000149011612, -2.5, struct.unpack("f", struct.pack("f", 3e38))[0], 0.0]
    assert obs["lin_vel"] == []
    assert "height_map" not in obs


def test_an_observation_waiting_before_the_call_is_never_returned(r, sim):
    sim.send("obs_fixed", fields={"dof_pos": [1, 1, 1, 1]})
    r.get_obs()  # user mode on, discovery complete
    mark = sim.mark()
    sim.send("publish_obs", fields={"dof_pos": [99, 99, 99, 99]})
    # Give the stale sample time to land in the SDK's reader before the call.
    sim.send("status")
    obs = r.get_obs()
    assert obs["dof_pos"] == [1, 1, 1, 1]
    assert len(requests(sim, mark)) >= 1


def test_each_call_writes_its_own_request(r, sim):
    r.get_obs()
    mark = sim.mark()
    r.get_obs()
    sim.wait_for(lambda e: len(requests(sim, mark)) >= 1)


def test_returned_dict_is_a_new_copy_each_time(r, sim):
    a = r.get_obs()
    a["dof_pos"].append(5.0)
    a["extra"] = []
    b = r.get_obs()
    assert set(b) == KEYS and len(b["dof_pos"]) == 4


@pytest.mark.slow
def test_without_answers_times_out_after_ten_seconds_with_a_request_per_wait(r, sim):
    sim.send("obs_answer", enabled=False)
    r.enable_user_mode()
    mark = sim.mark()
    t = time.monotonic()
    with pytest.raises(RuntimeError, match=r"^getObs\(\) timed out before a fresh observation arrived$"):
        r.get_obs()
    elapsed = time.monotonic() - t
    assert 9.9 < elapsed < 10.6
    # A 1 ms wait per request: thousands of requests in 10 s (not a flood, not one).
    time.sleep(0.3)
    n = len(requests(sim, mark))
    assert 3000 < n <= 10100


@pytest.mark.slow
def test_long_single_waits_are_never_shortened(domain, state_dir):
    r = robot.Robot(domain, 3000)
    r.enable_user_mode()  # the first write's bounded wait for a controller, timed apart
    t = time.monotonic()
    with pytest.raises(RuntimeError, match="timed out before a fresh observation"):
        r.get_obs()
    assert 11.9 < time.monotonic() - t < 12.6


@pytest.mark.parametrize("wait_ms", [0, -1, -(2**31)])
def test_zero_or_negative_wait_blocks_until_an_observation_arrives(sim, domain, tmp_path, wait_ms):
    sim.send("obs_answer", enabled=False)
    # The SDK holds the interpreter lock while it waits, so the caller runs in its own process.
    code = textwrap.dedent(
        f"""
        import time, robot
        r = robot.Robot({domain}, {wait_ms})
        r.set_gains([1, 1, 1, 1], [1, 1, 1, 1])  # returns once the controller is discovered
        t = time.monotonic()
        obs = r.get_obs()
        print(round(time.monotonic() - t, 3), sorted(obs))
        """
    )
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                          env={**__import__("os").environ, "TMPDIR": str(tmp_path)}) as caller:
        try:
            sim.wait_sample("user_obs_request", timeout=10)
            time.sleep(1.0)
            assert caller.poll() is None  # still waiting, with no limit
            # A wait without a limit is not a poll: at most one repeated request a second.
            assert len(requests(sim)) <= 2
            sim.send("obs_answer", enabled=True)
            sim.send("publish_obs", fields={})
            out, _ = caller.communicate(timeout=10)
        finally:
            caller.kill()
    elapsed, keys = out.split(" ", 1)
    assert float(elapsed) >= 1.0
    assert eval(keys) == sorted(KEYS)


def test_a_second_call_never_returns_an_answer_meant_for_the_first(r, sim):
    """A stalled controller answers every request the first call wrote, one per 1 ms wait, when
    it resumes; the first answer ends the first call, the others arrive after it. The second
    call must return an observation written after it began."""
    sim.send("obs_numbered", enabled=True)
    r.get_obs()  # user mode on, discovery complete
    sim.stop()
    # Resumed from outside: this process is held inside get_obs meanwhile.
    resumer = subprocess.Popen(["sh", "-c", f"sleep 0.1; kill -CONT {sim.proc.pid}"])
    first = r.get_obs()["lin_vel"]
    resumer.wait(timeout=10)

    def published():
        return len([x for x in sim.poll() if x.get("event") == "published"])

    # Let the simulator work through its backlog: every request it got answered, and the
    # answers given time to land in the SDK's reader.
    settled, seen = time.monotonic() + 0.3, -1
    while time.monotonic() < settled or len(requests(sim)) != seen:
        if len(requests(sim)) != seen:
            seen, settled = len(requests(sim)), time.monotonic() + 0.3
        time.sleep(0.01)
    assert seen > 3  # the stall made the first call write request after request
    sim.wait_for(lambda e: published() >= seen)
    time.sleep(0.1)
    numbered = published()
    second = r.get_obs()["lin_vel"]
    assert first[0] < second[0]
    assert second[0] > numbered, f"second call returned answer {second[0]} of {numbered} already written"
