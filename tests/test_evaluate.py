"""Evaluation over workers: results that depend on the seed alone, on processes and on Ray,
a dead worker's batch run again, and no simulator started beside another controller."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

from tarvek_gym import evaluation
from tarvek_gym.simulator import rigid_body_missing

from conftest import ROOT

EVALUATE = ROOT / "examples" / "evaluate.py"
# Small enough to be quick, with pushes strong enough that some episodes fail.
SMALL = ["--episodes", "4", "--batch", "2", "--seconds", "1", "--push-every", "0.4", "--push-force", "150",
         "--seed", "5"]


def evaluate(*args, timeout=240):
    return subprocess.run([sys.executable, str(EVALUATE), *args], capture_output=True, text=True, timeout=timeout)


def episodes(path: Path) -> list[dict]:
    # Everything but where and how fast it ran.
    return [{k: v for k, v in e.items() if k not in ("loop_wall", "domain")} for e in json.loads(path.read_text())]


@pytest.fixture(scope="module")
def one_worker(tmp_path_factory):
    out = tmp_path_factory.mktemp("evaluate") / "w1.json"
    result = evaluate(*SMALL, "--workers", "1", "--results", str(out))
    assert result.returncode == 0, result.stderr
    return result, episodes(out)


@pytest.mark.parametrize("where", [["--workers", "2"], pytest.param(["--ray", "local"], marks=pytest.mark.skipif(
    importlib.util.find_spec("ray") is None, reason="needs ray (the [ray] extra)"))], ids=["2-workers", "ray-local"])
def test_the_same_seed_gives_the_same_episodes_on_any_number_of_workers(one_worker, tmp_path, where):
    first, expected = one_worker
    out = tmp_path / "other.json"
    result = evaluate(*SMALL, *where, "--results", str(out))
    assert result.returncode == 0, result.stderr
    assert episodes(out) == expected
    assert [e["episode"] for e in expected] == [1, 2, 3, 4]
    rate = [line for line in first.stdout.splitlines() if line.startswith("success rate")]
    assert rate and rate == [line for line in result.stdout.splitlines() if line.startswith("success rate")]
    # Without MuJoCo (CPython 3.10) the toy model runs, and the user is told so.
    assert ("running the toy model instead" in first.stderr) == (rigid_body_missing() is not None)


def test_a_worker_that_dies_has_its_batch_run_again_once_and_reported(tmp_path):
    config = evaluation.Config(task="dying_task:run_episode", paths=[str(ROOT / "tests")], physics="toy",
                               seconds=0.05, control_period=0.005, randomize=True, push_every=1.0, push_force=0.0,
                               push_duration=0.1, env={"DYING_TASK_MARK": str(tmp_path / "died")})
    batches = evaluation.plan(4, 1, seed=2)
    outcome = evaluation.evaluate_local(config, batches, workers=2, log=lambda _: None)
    assert [e["episode"] for e in outcome.results] == [1, 2, 3, 4]
    assert len(outcome.retried) == 1 and "died" in outcome.retried[0]
    # A batch that kills its worker every time is given up after its second try.
    config.env["DYING_TASK_ALWAYS"] = "1"
    with pytest.raises(evaluation.EvaluationError, match="again: giving up"):
        evaluation.evaluate_local(config, batches[:1], workers=1, log=lambda _: None)


@pytest.mark.parametrize("tool", ["evaluate.py", "environment"])
def test_no_simulator_is_started_beside_a_controller_that_already_answers(start_sim, domain, tool):
    start_sim("--lockstep")
    if tool == "evaluate.py":
        refused = evaluate("--episodes", "1", "--seconds", "0.1", "--physics", "toy", "--dds-domain", str(domain))
        assert refused.returncode == 1
        assert f"a controller already answers on DDS domain {domain}: stop it, or pick another domain with " \
               "--dds-domain" in refused.stderr
        assert "success rate" not in refused.stdout
        picked = evaluate("--episodes", "1", "--seconds", "0.1", "--physics", "toy", "--workers", "1")
        assert picked.returncode == 0, picked.stderr
        used = [line for line in picked.stdout.splitlines() if line.startswith("ran on:")]
        assert used and not used[0].endswith(f"domain {domain}")
    else:
        gym_env = pytest.importorskip("tarvek_gym.env")
        with pytest.raises(RuntimeError, match=f"a controller already answers on DDS domain {domain}: stop it, "
                                               "or pick another domain with dds_domain="):
            gym_env.BalanceEnv(physics="toy", dds_domain=domain)
