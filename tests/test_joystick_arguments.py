"""The joystick's arguments: conversions, the mapping and range checks with their exact
messages and order. Every refusal here happens before any DDS participant exists."""

import math

import pytest

import joystick

NINE_INVALID = [f"k{i}" for i in range(9)]


class LyingLen(list):
    """A list that claims two items, whatever it holds."""

    def __len__(self):
        return 2


def test_module_and_class_surface():
    assert joystick.__doc__ == "Joystick bindings"
    assert joystick.Joystick.__doc__ is None
    assert [m for m in vars(joystick.Joystick) if not m.startswith("_")] == ["get_cmd"]
    sig = joystick.Joystick.__init__.__doc__
    assert (
        "cmd_mapping: collections.abc.Sequence[str] = [], cmd_range: object = None, "
        "dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1, "
        "ros2_domain_id: typing.SupportsInt | typing.SupportsIndex = 0" in sig
    )
    assert "-> dict" in joystick.Joystick.get_cmd.__doc__


@pytest.mark.parametrize(
    "mapping, message",
    [
        (NINE_INVALID, "cmd_mapping is too long: expected at most 8"),
        (["left_x", "jump", "left_x"], "cmd_mapping has invalid key: jump"),
        (["left_x", "left_x", "jump"], "cmd_mapping keys must be unique"),
        (["Left_x"], "cmd_mapping has invalid key: Left_x"),
        (["left_x "], "cmd_mapping has invalid key: left_x "),
        ([""], "cmd_mapping has invalid key: "),
        ((k for k in ["dpad_x", "dpad_x"]), "cmd_mapping keys must be unique"),
        # Messages are text: bytes that are not UTF-8, and NUL, appear escaped, and the
        # whole key is shown.
        ([b"\xff"], "cmd_mapping has invalid key: \\xff"),
        (["left_x\0"], "cmd_mapping has invalid key: left_x\\x00"),
        ([b"left_x\0jump\xc3"], "cmd_mapping has invalid key: left_x\\x00jump\\xc3"),
        ([b"caf\xc3\xa9", "left_x"], "cmd_mapping has invalid key: café"),
        ([b"\xed\xa0\x80"], "cmd_mapping has invalid key: \\xed\\xa0\\x80"),  # a surrogate
        (LyingLen(["jump"]), "cmd_mapping has invalid key: jump"),
        (LyingLen(["left_x", "right_x", "x"]), "cmd_mapping has invalid key: x"),
    ],
    ids=["too-long-first", "invalid-before-duplicate", "duplicate-before-invalid", "case",
         "trailing-blank", "empty-key", "generator", "undecodable", "nul", "nul-and-undecodable",
         "utf8-bytes", "encoded-surrogate", "len-says-more", "len-says-less"],
)
def test_mapping_errors(mapping, message, state_dir):
    with pytest.raises(RuntimeError) as err:
        joystick.Joystick(mapping)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "cmd_range, message",
    [
        ({"left_x": (0.0, 1.0, 2.0)}, "cmd_range has invalid value: left_x"),
        ({"left_x": 1.0}, "cmd_range has invalid value: left_x"),
        ({"left_x": ("a", 1.0)}, "cmd_range has invalid value: left_x"),
        ({"left_x": range(2)}, "cmd_range has invalid value: left_x"),
        ({"dpad_step_y": "0.1"}, "cmd_range has invalid value: dpad_step_y"),
        ({"dpad_step_x": -0.5}, "cmd_range has invalid value: dpad_step_x"),
        ({"dpad_step_x": math.inf}, "cmd_range has invalid value: dpad_step_x"),
        ({"dpad_step_y": math.nan}, "cmd_range has invalid value: dpad_step_y"),
        ({"turbo": (0, 1)}, "cmd_range has invalid key: turbo"),
        ({"left_x": (1.0, 0.0)}, "cmd_range has invalid range: left_x"),
        ({"left_x": (math.nan, 1.0)}, "cmd_range has non-finite range: left_x"),
        ({"left_x": (0.0, -math.inf)}, "cmd_range has non-finite range: left_x"),
        # Ranges are checked in ascending key order, whatever the dictionary's order.
        ({"right_y": (1.0, -1.0), "left_x": (0.0, math.inf)}, "cmd_range has non-finite range: left_x"),
        # Steps are checked before ranges; parsing errors before both.
        ({"left_x": (1.0, 0.0), "dpad_step_y": -1}, "cmd_range has invalid value: dpad_step_y"),
        ({"left_x": (1.0, 0.0), "bogus": 1}, "cmd_range has invalid key: bogus"),
        ([("left_x", [2, 1])], "cmd_range has invalid range: left_x"),
        ({b"\xff": 1}, "cmd_range has invalid key: \\xff"),
        ({"left_x\0": (0, 1)}, "cmd_range has invalid key: left_x\\x00"),
        ({"\udcff": 1}, "cmd_range has invalid key: \\udcff"),
        ({b"left_x": (1, 0)}, "cmd_range has invalid range: left_x"),
        ({"left_x": LyingLen([0])}, "cmd_range has invalid value: left_x"),
        ({"left_x": LyingLen([0, 1, 2])}, "cmd_range has invalid value: left_x"),
    ],
    ids=["three-items", "number", "string-item", "range-object", "string-step", "negative-step",
         "infinite-step", "nan-step", "unknown-key", "descending", "nan-low", "infinite-high",
         "key-order", "steps-before-ranges", "parse-before-check", "pairs-list", "undecodable-key",
         "nul-key", "surrogate-key", "bytes-key", "len-says-more", "len-says-less"],
)
def test_range_errors(cmd_range, message, state_dir):
    with pytest.raises(RuntimeError) as err:
        joystick.Joystick([], cmd_range)
    assert str(err.value) == message


def test_mapping_is_checked_before_ranges(state_dir):
    with pytest.raises(RuntimeError, match="^cmd_mapping has invalid key: x$"):
        joystick.Joystick(["x"], {"left_x": (1, 0)})


def test_range_parsing_runs_before_the_mapping_check(state_dir):
    with pytest.raises(RuntimeError, match="^cmd_range has invalid key: x$"):
        joystick.Joystick(["y"], {"x": 1})


class ExplodingLen(list):
    def __len__(self):
        raise ZeroDivisionError("len")


@pytest.mark.parametrize(
    "cmd_range, error",
    [
        (5, TypeError),
        ({"left_x": ExplodingLen([0, 1])}, ZeroDivisionError),
        ([1, 2], TypeError),
    ],
    ids=["int", "raising-len", "not-pairs"],
)
def test_python_errors_while_parsing_propagate_unchanged(cmd_range, error, state_dir):
    with pytest.raises(error):
        joystick.Joystick([], cmd_range)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"cmd_mapping": "left_x"},
        {"cmd_mapping": [1]},
        {"dds_domain_id": 1.0},
        {"ros2_domain_id": 0.5},
        {"dds_domain_id": 2**31},
    ],
    ids=["str-mapping", "int-key", "float-dds-id", "float-ros-id", "too-big"],
)
def test_unconvertible_arguments_raise_type_error(kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        joystick.Joystick(**kwargs)


def test_unusable_temporary_directory_is_a_filesystem_error(monkeypatch, tmp_path):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    with pytest.raises(RuntimeError, match="temp_directory_path"):
        joystick.Joystick(["bad"])

