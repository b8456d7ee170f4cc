"""Evaluation of a policy over many seeded episodes, spread over worker processes on this
machine or over a Ray cluster, with results that depend on the master seed alone.

The episodes are cut into batches whose number, size and seeds follow from the master seed
and the batch size only; each batch runs in a simulator of its own, started for it with its
seed. Which worker runs which batch, and how many workers there are, changes the wall time
and nothing else. A worker that dies has its batch run once more elsewhere; a second death
of the same batch, or any error, ends the evaluation.
"""

from __future__ import annotations

import dataclasses
import importlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import time
from typing import Callable

from tarvek_gym.simulator import (DomainLease, Simulator, connect, derive_seed, probe_domain_counts,
                                  sim_arguments)


@dataclasses.dataclass(frozen=True)
class Batch:
    index: int   # from 0
    first: int   # number of its first episode, from 1
    count: int
    seed: int


@dataclasses.dataclass
class Config:
    """What every worker needs: the episode function by name ("module:function", called
    with the Robot, the episode's simulated seconds and the control period; it returns when
    the policy saw the robot fall, or None, and its control loop's wall time) and where to
    import it from, and the simulator's options."""
    task: str
    paths: list[str]
    physics: str
    seconds: float
    control_period: float
    randomize: bool
    push_every: float
    push_force: float
    push_duration: float
    robot_per_episode: bool = False
    domain_base: int | None = None   # None: any free domain
    env: dict[str, str] = dataclasses.field(default_factory=dict)


def plan(episodes: int, batch_size: int, seed: int) -> list[Batch]:
    """The batches of an evaluation: a function of its episode count, batch size and seed."""
    return [Batch(i, 1 + i * batch_size, min(batch_size, episodes - i * batch_size), derive_seed(seed, "batch", i))
            for i in range((episodes + batch_size - 1) // batch_size)]


def _task(config: Config) -> Callable:
    for path in config.paths:
        if path not in sys.path:
            sys.path.insert(0, path)
    module, _, name = config.task.partition(":")
    return getattr(importlib.import_module(module), name)


def run_batch(config: Config, batch: Batch, domain: int) -> list[dict]:
    """Runs one batch against a simulator of its own on ``domain``; one result per episode."""
    os.environ.update(config.env)
    run_episode = _task(config)
    sim = Simulator(domain, sim_arguments(config.physics, config.control_period, batch.seed,
                                          config.randomize, config.push_every, config.push_force,
                                          config.push_duration))
    results = []
    try:
        r = None
        for k in range(batch.count):
            if r is None or config.robot_per_episode:
                del r  # the last one's participant leaves before the next one joins
                r = connect(sim, domain)
            fell_at, loop_wall = run_episode(r, config.seconds, config.control_period)
            report = sim.episode(k + 1)
            results.append({"episode": batch.first + k, "batch": batch.index,
                            "success": fell_at is None and not report["fallen"], "policy_fell_at": fell_at,
                            "sim_time": report["sim_time"], "largest_tilt": report["largest_tilt"],
                            "pushes": report["pushes"], "draws": report["draws"], "loop_wall": loop_wall,
                            "domain": domain})
        # Every result was computed against our simulator alone only if no other program
        # joined the domain meanwhile: our Robot and simulator are one writer per topic.
        counts = probe_domain_counts(domain)
        if any(count > 1 for count in counts.values()):
            raise RuntimeError(f"another program joined DDS domain {domain} during the evaluation "
                               f"(writers per topic: {counts}); its results are discarded")
        del r
    finally:
        sim.close()
    return results


def _lease(config: Config, worker: int) -> DomainLease:
    if config.domain_base is None:
        return DomainLease.free()
    return DomainLease.take(config.domain_base + worker, "--dds-domain")


def _die_with_parent() -> None:
    # A worker whose evaluation was killed mid-batch would otherwise run that batch to its
    # end before it noticed; its simulator dies with it in turn.
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() == 1:  # the parent was gone already
        os._exit(1)


def _local_worker(conn, config: Config, worker: int) -> None:
    """A worker process: one DDS domain for its life, one batch at a time."""
    _die_with_parent()
    os.environ.update(config.env)
    try:
        lease = _lease(config, worker)
    except Exception as e:
        conn.send(("error", None, str(e)))
        return
    conn.send(("domain", lease.skipped, lease.domain))
    while True:
        batch = conn.recv()
        if batch is None:
            return
        try:
            conn.send(("done", batch.index, run_batch(config, batch, lease.domain)))
        except Exception as e:
            conn.send(("error", batch.index, f"{type(e).__name__}: {e}"))


class EvaluationError(RuntimeError):
    pass


@dataclasses.dataclass
class Outcome:
    results: list[dict]                  # one per episode, in episode order
    retried: list[str]                   # what died and was run again
    domains: list[int]                   # the DDS domains the simulators ran on
    wall: float


def evaluate_local(config: Config, batches: list[Batch], workers: int,
                   log: Callable[[str], None] = print) -> Outcome:
    ctx = multiprocessing.get_context("spawn")  # the SDK refuses forked children
    start = time.monotonic()
    pending = list(reversed(batches))
    attempts = {b.index: 0 for b in batches}
    by_index = {b.index: b for b in batches}
    done: dict[int, list[dict]] = {}
    retried: list[str] = []
    domains: set[int] = set()
    notes: set[str] = set()
    live: dict = {}   # connection -> [process, worker number, batch held or None, started]

    def spawn(worker: int):
        parent, child = ctx.Pipe()
        proc = ctx.Process(target=_local_worker, args=(child, config, worker), daemon=True)
        proc.start()
        child.close()
        live[parent] = [proc, worker, None, False]

    def give(conn):
        state = live[conn]
        if pending:
            batch = pending.pop()
            attempts[batch.index] += 1
            state[2] = batch.index
            conn.send(batch)
        else:
            state[2] = None
            conn.send(None)

    try:
        for w in range(min(workers, len(batches))):
            spawn(w)
        while len(done) < len(batches):
            ready = multiprocessing.connection.wait(list(live))
            for conn in ready:
                proc, worker, held, started = live[conn]
                try:
                    kind, index, payload = conn.recv()
                except (EOFError, OSError):
                    proc.join(5)
                    del live[conn]
                    conn.close()
                    if not started:  # it would not start a second time either
                        raise EvaluationError(f"worker {worker} ended before it started "
                                              f"(exit status {proc.exitcode})") from None
                    if held is not None:
                        what = f"worker {worker} (pid {proc.pid}) died (exit status {proc.exitcode}) in batch {held}"
                        if attempts[held] >= 2:
                            raise EvaluationError(f"{what} again: giving up")
                        retried.append(what)
                        log(f"warning: {what}; running it again")
                        pending.append(by_index[held])
                    if pending:
                        spawn(worker)
                    continue
                if kind == "error":
                    raise EvaluationError(payload)
                if kind == "domain":
                    live[conn][3] = True
                    domains.add(payload)
                    for note in index:
                        if note not in notes:
                            notes.add(note)
                            log(f"notice: {note}; not used")
                elif kind == "done":
                    done[index] = payload
                give(conn)
    finally:
        for conn, (proc, *_) in list(live.items()):
            try:
                conn.send(None)
            except (BrokenPipeError, OSError):
                pass
        for conn, (proc, *_) in list(live.items()):
            proc.join(10)
            if proc.is_alive():
                proc.kill()
                proc.join()
            conn.close()
    results = [e for b in batches for e in done[b.index]]
    return Outcome(results, retried, sorted(domains), time.monotonic() - start)


def evaluate_ray(config: Config, batches: list[Batch], address: str,
                 log: Callable[[str], None] = print) -> Outcome:
    """Each batch a Ray task (one CPU) on any node: it takes a free DDS domain there for the
    time it runs. ``address`` "local" starts a cluster on this machine, bound to 127.0.0.1."""
    import ray

    start = time.monotonic()
    runtime_env = {}
    if address == "local":
        # Ray listens on every address it finds unless told otherwise; this machine only.
        ray.init(address="local", include_dashboard=False, dashboard_host="127.0.0.1",
                 _node_ip_address="127.0.0.1", num_cpus=os.cpu_count() or 1, configure_logging=False,
                 log_to_driver=False)
    else:
        # Other machines have neither our checkout nor its paths: the task's module travels.
        runtime_env = {"working_dir": config.paths[0]} if config.paths else {}
        config = dataclasses.replace(config, paths=[])
        ray.init(address=address, runtime_env=runtime_env or None, configure_logging=False,
                 log_to_driver=False)
    try:
        remote = ray.remote(num_cpus=1, max_retries=0)(_ray_batch)
        attempts = {b.index: 1 for b in batches}
        running = {remote.remote(config, b): b for b in batches}
        done: dict[int, list[dict]] = {}
        retried: list[str] = []
        while running:
            ready, _ = ray.wait(list(running), num_returns=1)
            ref = ready[0]
            batch = running.pop(ref)
            try:
                done[batch.index] = ray.get(ref)
            except (ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError,
                    ray.exceptions.LocalRayletDiedError, ray.exceptions.OutOfMemoryError) as e:
                what = f"the Ray worker of batch {batch.index} died ({type(e).__name__})"
                if attempts[batch.index] >= 2:
                    raise EvaluationError(f"{what} again: giving up") from None
                attempts[batch.index] += 1
                retried.append(what)
                log(f"warning: {what}; running it again")
                running[remote.remote(config, batch)] = batch
            except ray.exceptions.RayTaskError as e:
                raise EvaluationError(str(e.cause if e.cause is not None else e)) from None
    finally:
        ray.shutdown()
    results = [e for b in batches for e in done[b.index]]
    domains = sorted({e["domain"] for e in results})
    return Outcome(results, retried, domains, time.monotonic() - start)


def _ray_batch(config: Config, batch: Batch) -> list[dict]:
    os.environ.update(config.env)
    lease = DomainLease.free()
    try:
        return run_batch(config, batch, lease.domain)
    finally:
        lease.release()
