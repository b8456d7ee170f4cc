"""The runtime state file: its exact bytes, where it goes, and how it is replaced."""

import os
import stat

import pytest

import robot


def state_file(state_dir, domain):
    return state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"


@pytest.fixture
def gains_robot(sim, domain, state_dir):
    r = robot.Robot(domain)
    sim.wait_matched("user_gains")
    return r


def test_worked_example_bytes(gains_robot, state_dir, domain):
    gains_robot.set_gains([20, 20, 20, 20], [0.5, 0.5, 0.5, 0.5])
    assert state_file(state_dir, domain).read_bytes() == b"4\n20\n20\n20\n20\n4\n0.5\n0.5\n0.5\n0.5\n"


@pytest.mark.parametrize(
    "value, text",
    [
        (1e6, "1e+06"),
        (123.456, "123.456"),
        (0.0001, "0.0001"),
        (0.00001, "1e-05"),
        (-3.25, "-3.25"),
        (0.1, "0.1"),
        (1234567, "1.23457e+06"),
        (999999.5, "1e+06"),
        (0.0, "0"),
        (-0.0, "-0"),
        (100000, "100000"),
        (1e-38, "1e-38"),
    ],
)
def test_values_are_printed_like_percent_g(gains_robot, state_dir, domain, value, text):
    gains_robot.set_gains([value, 1, 2, 3], [4, 5, 6, value])
    lines = state_file(state_dir, domain).read_text().split("\n")
    assert lines[1] == text and lines[9] == text


def test_locale_does_not_change_the_decimal_point(gains_robot, state_dir, domain):
    import locale

    old = locale.setlocale(locale.LC_NUMERIC)
    try:
        for name in ("de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"):
            try:
                locale.setlocale(locale.LC_NUMERIC, name)
                break
            except locale.Error:
                continue
        gains_robot.set_gains([0.5] * 4, [1.25] * 4)
    finally:
        locale.setlocale(locale.LC_NUMERIC, old)
    assert "0.5\n" in state_file(state_dir, domain).read_text()


def test_second_call_replaces_the_first(gains_robot, state_dir, domain):
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    gains_robot.set_gains([9, 9, 9, 9], [0.25] * 4)
    assert state_file(state_dir, domain).read_text() == "4\n9\n9\n9\n9\n4\n0.25\n0.25\n0.25\n0.25\n"


def test_nothing_is_created_before_set_gains(state_dir, domain):
    robot.Robot(domain)
    assert list(state_dir.iterdir()) == []


def test_failed_set_gains_leaves_the_file_as_it_was(gains_robot, state_dir, domain):
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    before = state_file(state_dir, domain).read_bytes()
    with pytest.raises(RuntimeError, match="kp length mismatch: expected 4, got 3"):
        gains_robot.set_gains([1, 2, 3], [1, 2, 3, 4, 5])
    assert state_file(state_dir, domain).read_bytes() == before


def test_path_is_fixed_at_construction(gains_robot, state_dir, domain, tmp_path, monkeypatch):
    other = tmp_path / "other"
    other.mkdir()
    monkeypatch.setenv("TMPDIR", str(other))
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    assert state_file(state_dir, domain).exists()
    assert list(other.iterdir()) == []


def test_a_planted_link_is_replaced_not_followed(gains_robot, state_dir, domain, tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    state_file(state_dir, domain).symlink_to(victim)
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    assert victim.read_text() == "precious"
    path = state_file(state_dir, domain)
    assert not path.is_symlink()
    assert path.read_text().startswith("4\n1\n")
    # No temporary files are left behind.
    assert sorted(p.name for p in state_dir.iterdir()) == [path.name]


def test_permissions_follow_the_umask(gains_robot, state_dir, domain):
    old = os.umask(0o027)
    try:
        gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    finally:
        os.umask(old)
    mode = stat.S_IMODE(state_file(state_dir, domain).stat().st_mode)
    assert mode == 0o640


def test_unwritable_path_sends_gains_then_raises(gains_robot, sim, state_dir, domain):
    state_file(state_dir, domain).mkdir()
    mark = sim.mark()
    with pytest.raises(RuntimeError, match="^failed to open runtime state file for writing$"):
        gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    sim.wait_sample("user_gains", start=mark, kp=[1, 2, 3, 4])
    # The gains were not recorded, so actions are still refused.
    with pytest.raises(RuntimeError, match=r"^Call setGains\(\) before doAction\(\)$"):
        gains_robot.do_action([0, 0, 0, 0])
