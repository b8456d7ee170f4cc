"""The Python surface of `robot`: signature, conversions and refusals."""

import pytest

import robot


def test_module_and_class_surface():
    assert robot.__doc__ == "DDS robot client bindings"
    assert robot.Robot.__doc__ is None
    members = [m for m in vars(robot.Robot) if not m.startswith("_") or m == "__init__"]
    assert members == ["__init__", "enable_user_mode", "finish", "set_gains", "get_obs", "do_action"]
    assert "dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1" in robot.Robot.__init__.__doc__
    assert "wait_obs_timeout_ms: typing.SupportsInt | typing.SupportsIndex = 1" in robot.Robot.__init__.__doc__
    assert "torque_ctrl: bool = False" in robot.Robot.do_action.__doc__


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((0.5,), {}),
        ((1.0,), {}),
        ((2**31,), {}),
        ((-(2**31) - 1,), {}),
        ((1, 2**31), {}),
        ((), {"wait_obs_timeout_ms": 1.5}),
        (("1",), {}),
        ((), {"domain": 1}),
    ],
    ids=["float", "integral-float", "too-big", "too-small", "timeout-too-big", "float-timeout",
         "str", "unknown-keyword"],
)
def test_constructor_refuses_unconvertible_arguments(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        robot.Robot(*args, **kwargs)


def test_filesystem_error_when_temporary_directory_is_missing(monkeypatch, tmp_path):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    with pytest.raises(RuntimeError, match="temp_directory_path"):
        robot.Robot(3)


def test_participant_refused_by_the_library_gives_the_creation_label(state_dir):
    # Domain ids above ~230 leave no valid port numbers, so DDS refuses the participant.
    with pytest.raises(RuntimeError, match=r"^dds_create_participant: "):
        robot.Robot(5000)


class _Index:
    def __index__(self):
        return 3


def test_index_objects_are_accepted_as_ids(state_dir):
    robot.Robot(_Index(), wait_obs_timeout_ms=True)


@pytest.mark.parametrize(
    "kp",
    [
        "abcd",
        b"abcd",
        [1, 2, "x", 4],
        None,
        5,
    ],
    ids=["str", "bytes", "str-element", "none", "int"],
)
def test_set_gains_refuses_non_numeric_sequences(kp, state_dir, domain):
    r = robot.Robot(domain)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        r.set_gains(kp, [1, 2, 3, 4])
    assert not (state_dir / f"tarvek_sdk_runtime_state_{domain}.txt").exists()


@pytest.mark.parametrize("flag", ["yes", [1], object()], ids=["str", "list", "object"])
def test_do_action_refuses_flags_without_a_plain_truth_value(flag, domain):
    r = robot.Robot(domain)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        r.do_action([0, 0, 0, 0], flag)

