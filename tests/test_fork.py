"""Objects inherited by a forked child refuse to work there and leave the parent's exchange
alone; a spawn child builds its own. The whole program runs in a child process."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

WORKER = Path(__file__).with_name("fork_worker.py")


def test_forked_child_gets_runtime_error_and_parent_is_undisturbed(
        start_sim, domain, fresh_ros_domain, state_dir):
    sim = start_sim("--ros-domain", str(fresh_ros_domain))
    out = subprocess.run([sys.executable, str(WORKER), str(domain), str(fresh_ros_domain)],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    r = json.loads(out.stdout.strip().splitlines()[-1])
    print(f"parent get_obs median before the fork child {r['before'] * 1e6:.0f} us, "
          f"after {r['after'] * 1e6:.0f} us; worst during its attempts "
          f"{r['during_max'] * 1e3:.1f} ms, after {r['after_max'] * 1e3:.1f} ms")
    advice = "use multiprocessing's 'spawn' or 'forkserver' start method and create the {} in the new process"
    assert r["untried"] == []
    for name, (error, seconds) in r["tried"].items():
        cls = name.split(".")[0].removesuffix("()")
        if name.endswith("()"):
            expected = f"{cls} cannot be created in a process forked from one that uses DDS; "
        else:
            expected = f"{cls} was created in another process (this is a forked child); "
        assert error == "RuntimeError: " + expected + advice.format(cls), name
        assert seconds < 0.1, (name, seconds)
    assert len(r["tried"]) == 8, sorted(r["tried"])
    assert r["child_exitcode"] == 0
    assert r["during_max"] < 0.5 and r["after_max"] < 0.5, r
    assert r["after"] < 2 * r["before"] + 0.001, r
    # Only the parent's samples reached the controller, and its gains stay in the file.
    child = [2.0] * 4
    assert not [s for s in sim.samples("user_action") if s["value"] == child]
    assert [s["kp"] for s in sim.samples("user_gains")] == [[1.0] * 4]
    state = (state_dir / f"tarvek_sdk_runtime_state_{domain}.txt").read_text().split()
    assert [float(v) for v in state] == [4, 1, 1, 1, 1, 4, 1, 1, 1, 1]
    assert r["spawn_keys"] == ["ang_vel", "dof_pos", "dof_tau", "dof_vel", "lin_vel",
                               "proj_grav"]
