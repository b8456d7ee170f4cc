"""The suite's own fixtures: a simulator that cannot start must not leave anything open, or
pytest (warnings as errors) fails later in an unrelated place."""

import gc
import os

import pytest


def open_files():
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:
            pass  # the descriptor listdir itself used
    return fds


@pytest.mark.parametrize("args", [("--no-such-option",), ("--domain", "5000")],
                         ids=["refused-option", "unusable-domain"])
def test_a_simulator_that_fails_to_start_leaves_nothing_open(start_sim, args):
    before = open_files()
    with pytest.raises(AssertionError, match="simulator exited with"):
        start_sim(*args)
    gc.collect()
    assert open_files() == before
