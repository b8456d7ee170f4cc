"""Instances whose __init__ never ran, or ran twice. Members of the former used to run on
uninitialised memory and crash the interpreter, so every call runs in a child process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import robot

GAINS = [1, 2, 3, 4]

MEMBERS = [
    ("robot", "Robot", "enable_user_mode", ()),
    ("robot", "Robot", "finish", ()),
    ("robot", "Robot", "set_gains", (GAINS, GAINS)),
    ("robot", "Robot", "get_obs", ()),
    ("robot", "Robot", "do_action", (GAINS,)),
    ("robot", "Robot", "do_action", (GAINS, True)),
    ("joystick", "Joystick", "get_cmd", ()),
]


def run_child(code: str, tmp_path) -> dict:
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=60, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert out.returncode == 0, f"child ended with {out.returncode}: {out.stderr[-2000:]}"
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("module, cls, member, args", MEMBERS,
                         ids=[f"{m[2]}{len(m[3])}" for m in MEMBERS])
def test_members_of_an_instance_never_initialised_raise_type_error(tmp_path, module, cls, member,
                                                                   args):
    result = run_child(
        f"""
        import json, {module}
        obj = {module}.{cls}.__new__({module}.{cls})
        try:
            obj.{member}(*{args!r})
            print(json.dumps({{"type": None}}))
        except BaseException as e:
            print(json.dumps({{"type": type(e).__name__, "message": str(e)}}))
        """,
        tmp_path,
    )
    assert result == {
        "type": "TypeError",
        "message": f"{module}.{cls} object is not initialised: its __init__ was never called",
    }


def test_init_called_late_makes_a_working_instance(sim, domain, state_dir):
    r = robot.Robot.__new__(robot.Robot)
    r.__init__(domain)
    r.set_gains(GAINS, GAINS)
    sim.wait_sample("user_gains", kp=GAINS)


def test_a_second_init_changes_nothing(sim, domain, state_dir):
    # pybind11 ignores __init__ on an instance that already owns its native object: the
    # object keeps its participant and domain, and no second participant appears.
    r = robot.Robot(domain)
    sim.wait_matched("user_gains", 1)
    assert r.__init__(domain + 1, 5) is None
    r.set_gains(GAINS, GAINS)
    sim.wait_sample("user_gains", kp=GAINS)
    assert [p.name for p in state_dir.iterdir()] == [f"tarvek_sdk_runtime_state_{domain}.txt"]
    sim.send("status", wait=False)
    status = sim.wait_for(lambda e: e.get("event") == "status")
    assert status["matched"]["user_gains"] == 1


def test_members_called_with_a_foreign_self_raise_type_error(tmp_path):
    # Without the type check on self these would run on an object that is no instance at all.
    calls = [(m, c, member, args) for m, c, member, args in MEMBERS] + [
        ("robot", "Robot", "__init__", (1, 1)),
        ("joystick", "Joystick", "__init__", ()),
    ]
    result = run_child(
        f"""
        import json, robot, joystick
        raised = []
        for module, cls, member, args in {calls!r}:
            method = getattr(getattr(globals()[module], cls), member)
            for foreign in (object(), 1, joystick.Joystick.__new__(joystick.Joystick)
                            if module == "robot" else robot.Robot.__new__(robot.Robot)):
                try:
                    method(foreign, *args)
                    raised.append(None)
                except BaseException as e:
                    raised.append(type(e).__name__)
        print(json.dumps({{"raised": raised}}))
        """,
        tmp_path,
    )
    assert result == {"raised": ["TypeError"] * (3 * len(calls))}
