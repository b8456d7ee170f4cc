"""tarvek-doctor against real peers: the simulated controller, a controller built with another
message definition or other QoS (a small C program compiled here), controllers written with
another DDS binding and on another DDS implementation, and nothing at all."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import ROOT

LISTEN = "2"
PEERS = Path(__file__).resolve().parent / "peers"


def doctor_executable() -> str:
    exe = Path(sys.prefix) / "bin" / "tarvek-doctor"
    if not exe.exists():
        pytest.fail(f"tarvek-doctor not installed at {exe}; run scripts/setup.sh")
    return str(exe)


def run_doctor(*args: str, env: dict[str, str] | None = None, as_json: bool = True, listen: str = LISTEN):
    cmd = [doctor_executable(), "--listen", listen, *args] + (["--json"] if as_json else [])
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=60, env={**os.environ, **(env or {})})
    return proc.returncode, (json.loads(proc.stdout) if as_json and proc.stdout else proc.stdout), proc.stderr


def codes(report: dict) -> list[str]:
    return [p["code"] for p in report["problems"]]


def sentence(report: dict, code: str) -> str:
    return next(p["sentence"] for p in report["problems"] if p["code"] == code)


@pytest.fixture
def ros_domain(fresh_ros_domain) -> int:
    """The service's domain, apart from the DDS domains other tests use."""
    return fresh_ros_domain


@pytest.fixture(scope="session")
def controller_peers(tmp_path_factory) -> dict[str, Path]:
    """The peer program built twice: with the SDK's message definition and with another."""
    if not shutil.which("idlc") or not shutil.which("cc"):
        pytest.fail("idlc and cc are needed to build the test peer; run scripts/setup.sh")
    built = {}
    for name, idl in (("sdk", ROOT / "dds" / "core_dds.idl"), ("other", PEERS / "other_core_dds.idl")):
        out = tmp_path_factory.mktemp(f"peer_{name}")
        shutil.copy(idl, out / "core_dds.idl")
        subprocess.run(["idlc", "-x", "final", "core_dds.idl"], cwd=out, check=True)
        subprocess.run(
            ["cc", "-O0", "-o", "peer", str(PEERS / "controller_peer.c"), "core_dds.c", "-I.", "-lddsc"],
            cwd=out,
            check=True,
        )
        built[name] = out / "peer"
    return built


@pytest.fixture(scope="session")
def fastdds_peer(tmp_path_factory) -> Path:
    """The peer on the other DDS implementation, its types generated (with type objects) from
    the SDK's message definition by that implementation's own code generator."""
    if not shutil.which("fastddsgen") or not Path("/usr/include/fastdds").is_dir():
        pytest.fail("fastddsgen and libfastrtps-dev are needed for the test peer; run scripts/setup.sh")
    out = tmp_path_factory.mktemp("peer_fastdds")
    shutil.copy(ROOT / "dds" / "core_dds.idl", out / "core_dds.idl")
    subprocess.run(["fastddsgen", "-typeobject", "core_dds.idl"], cwd=out, check=True, capture_output=True)
    sources = [str(PEERS / "fastdds_controller.cpp"), "core_dds.cxx", "core_ddsPubSubTypes.cxx", "core_ddsTypeObject.cxx"]
    subprocess.run(["g++", "-O0", "-o", "peer", "-I.", *sources, "-lfastrtps", "-lfastcdr"], cwd=out, check=True)
    return out / "peer"


@pytest.fixture
def start_peer():
    procs: list[subprocess.Popen] = []

    def start(*cmd) -> None:
        # A peer is another project's code, not under test: the sanitizer run's preloaded
        # runtime would judge that library (it reports a mismatched delete inside it).
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        proc = subprocess.Popen([str(c) for c in cmd], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                env=env)
        procs.append(proc)
        assert proc.stdout.readline().strip() == "ready"

    yield start
    for proc in procs:
        proc.stdin.close()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()


class TestHealthy:
    def test_every_topic_and_the_service_match(self, start_sim, domain, ros_domain):
        sim = start_sim("--ros-domain", str(ros_domain))
        rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain))
        assert rc == 0, report["problems"]
        # Beside listening it only timed observation requests: nothing else matched or arrived.
        start = sim.mark()
        sim.send("status")
        status = sim.wait_for(lambda e: e.get("event") == "status", start=start)
        assert set(status["matched"].values()) == {0}
        events = [e for e in sim.poll() if e.get("event") in ("matched", "sample", "service_request")]
        assert {e.get("topic") for e in events} <= {"user_obs_request"}
        acks = report["acknowledgement"]
        assert (len(acks["seconds"]), acks["timed_out"], acks["too_slow"]) == (5, False, False)
        assert report["problems"] == []
        assert (report["dds_domain"], report["ros2_domain"]) == (domain, ros_domain)
        assert [t["topic"] for t in report["topics"]] == [
            "user_mode", "user_command", "user_action", "user_gains", "user_obs_request", "user_obs"
        ]
        for topic in report["topics"] + report["service"]["topics"]:
            peers = [e for e in topic["endpoints"] if e["controller_side"]]
            assert [e["matches"] for e in peers] == [True], topic
            assert peers[0]["participant_name"].startswith("tarvek-sim")
        # Our generated types carry type information; the service's, like ROS 2's, do not.
        assert {e["type"] for t in report["topics"] for e in t["endpoints"]} == {"equal"}
        assert {e["type"] for t in report["service"]["topics"] for e in t["endpoints"]} == {"name_only"}
        [server] = report["service"]["servers"]
        assert (server["serviceid_paired"], server["usable"], server["vendor"]) == (True, True, "Cyclone DDS")
        [setup, _] = report["cyclone"]["domains"]
        assert (setup["interfaces"], setup["multicast"], setup["peers"]) == (["lo"], False, ["127.0.0.1"])

    def test_text_report_lists_the_matches(self, start_sim, domain, ros_domain):
        start_sim("--ros-domain", str(ros_domain))
        rc, text, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain), as_json=False)
        assert rc == 0, text
        assert text.count("-> matches") == 8
        assert "The controller and its configuration service look usable." in text


class TestProblems:
    @pytest.mark.parametrize("same_domain", [False, True], ids=["ros2-domain-empty", "no-server"])
    def test_service_off(self, start_sim, domain, ros_domain, same_domain):
        start_sim("--service-mode", "off", "--ros-domain", str(ros_domain))
        looked_at = domain if same_domain else ros_domain
        rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(looked_at))
        assert rc == 1
        assert (report["controller_usable"], report["service_usable"]) == (True, False)
        if same_domain:
            assert codes(report) == ["no_service"]
            assert sentence(report, "no_service") == (
                f"No server of /dynamic_param_config on ROS 2 domain {domain} (1 participant(s) there): the "
                "controller does not serve its configuration service; start it, or check its ROS_DOMAIN_ID."
            )
        else:
            assert codes(report) == ["ros2_domain_empty"]
            assert sentence(report, "ros2_domain_empty").startswith(
                f"No participant found on ROS 2 domain {ros_domain} within 2 s: the controller's ROS 2 side is "
                "not running, uses another ROS_DOMAIN_ID"
            )

    @pytest.mark.parametrize(
        "build, reliability, code, expected",
        [
            ("other", "reliable", "type_mismatch", "user_obs is present with another type: peer (pid "),
            ("sdk", "best_effort", "qos_mismatch", "QoS mismatch on user_obs: the writer of peer (pid "),
        ],
        ids=["other-type", "best-effort"],
    )
    def test_mismatched_controller(self, controller_peers, start_peer, domain, ros_domain, build, reliability, code, expected):
        start_peer(controller_peers[build], domain, reliability)
        rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain))
        assert rc == 1
        [problem] = [p for p in report["problems"] if p["code"] == code]
        [writer] = report["topics"][5]["endpoints"]
        assert (writer["controller_side"], writer["matches"]) == (True, False)
        assert problem["sentence"].startswith(expected), problem
        if code == "type_mismatch":
            assert writer["type"] == "different_identifier"
            assert "built from a different message definition" in problem["sentence"]
            # Type lookup gave the peer's type: the first differing member is named.
            assert "member dof_pos is sequence<double> where the SDK's is sequence<float>" in problem["sentence"]
        else:
            assert writer["type"] == "equal"
            assert "reliability: the writer offers best_effort, the reader requests reliable" in problem["sentence"]
        # The peer has none of the other five topics and no service.
        assert sorted(codes(report)) == sorted([code] + ["topic_missing"] * 5 + ["ros2_domain_empty"])

    def test_nothing_running(self, domain, ros_domain):
        rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain))
        assert rc == 1
        assert codes(report) == ["no_participant", "ros2_domain_empty"]
        assert sentence(report, "no_participant") == (
            f"No DDS participant found on domain {domain} within 2 s: usually the wrong network interface in "
            "CYCLONEDDS_URI, multicast blocked on the network (list the robot under Discovery/Peers), a firewall "
            "dropping UDP, or the controller using another domain (--scan-domains finds it)."
        )
        assert report["participants"] == {"dds": [], "ros2": []}


class TestControllerSide:
    """What controllers on another DDS binding or implementation get wrong, each named with
    the setting that mends it."""

    @pytest.mark.parametrize(
        "peer, args, code, cause, setting",
        [
            ("python", ["appendable"], "type_extensibility",
             "only the extensibility differs: the controller's is appendable, the SDK's final",
             "declare it @final in the controller's message definition (IDL)"),
            ("python", ["extra-member"], "type_mismatch",
             "it has member foot_contact (sequence<float>), which the SDK's lacks",
             "build the controller from the SDK's message definition"),
            ("fastdds", ["typeobject"], "endpoints_discarded",
             "(Fast DDS) has no endpoint the SDK can see: Cyclone DDS discarded its 2 endpoint announcement(s) "
             "because it cannot read their TYPE_INFORMATION",
             "generate the controller's types without type objects (no -typeobject)"),
            ("fastdds", ["ack-delay", "700"], "slow_acknowledgement",
             "to acknowledge an observation request: finish() waits 1 s for the acknowledgement of user mode off",
             "set the heartbeat response delay of the controller's reliable readers to a few milliseconds"),
        ],
        ids=["appendable", "extra-member", "type-information", "late-acknowledgement"],
    )
    def test_names_cause_and_setting(self, request, start_peer, domain, ros_domain, peer, args, code, cause, setting):
        if peer == "python":
            start_peer(sys.executable, PEERS / "python_controller.py", domain, *args)
        else:
            start_peer(request.getfixturevalue("fastdds_peer"), domain, *args)
        rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain))
        assert rc == 1
        [problem] = [p for p in report["problems"] if p["code"] == code]
        assert cause.format(domain=domain) in problem["sentence"]
        assert setting in problem["sentence"]
        if code == "slow_acknowledgement":
            assert report["acknowledgement"]["too_slow"]
            assert 0.5 < max(report["acknowledgement"]["seconds"]) < 1.0


@pytest.mark.parametrize("elsewhere", [True, False], ids=["other-domain", "own-domain"])
def test_scan_domains_finds_the_simulator(start_sim, domain, ros_domain, elsewhere):
    start_sim("--ros-domain", str(ros_domain))
    own = 232 if elsewhere else domain  # 232: a domain no test uses
    began = time.monotonic()
    proc = subprocess.run(
        [doctor_executable(), "--scan-domains", "--domain", str(own), "--json"],
        capture_output=True, text=True, timeout=60,
    )
    took = time.monotonic() - began
    report = json.loads(proc.stdout)
    # Other suites' simulators may be on other domains of this network.
    assert domain in report["controller_domains"]
    assert took < 3 * 1.5, took
    if not elsewhere:
        assert (proc.returncode, report["problems"]) == (0, [])
        return
    assert proc.returncode == 1
    [problem] = report["problems"]
    assert problem["code"] == "controller_on_other_domain"
    if report["controller_domains"] == [domain]:
        assert problem["sentence"] == (
            f"The controller is on DDS domain {domain}; this program uses 232: pass dds_domain_id={domain} to "
            f"Robot and Joystick (and --domain {domain} to tarvek-doctor)."
        )


class TestRuntimeState:
    @pytest.mark.parametrize(
        "content, status, trusted, kp",
        [
            (None, "missing", None, [35, 35, 0, 0]),
            ("4\n20\n20\n6\n6\n4\n0.5\n0.5\n0.6\n0.6\n", "read", True, [20, 20, 6, 6]),
            ("4\n20\n21\n", "malformed", True, [20, 21, 0, 0]),
            ("directory", "untrusted", False, [35, 35, 0, 0]),
        ],
        ids=["missing", "trusted", "malformed", "directory"],
    )
    def test_judged_as_the_joystick_reads_it(self, state_dir, domain, ros_domain, content, status, trusted, kp):
        path = state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"
        if content == "directory":
            path.mkdir()
        elif content is not None:
            path.write_text(content)
        _, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(ros_domain), listen="0.1")
        state = report["runtime_state"]
        assert (state["path"], state["status"], state["trusted"], state["kp"]) == (str(path), status, trusted, kp)


@pytest.mark.parametrize(
    "args", [["--domain", "233"], ["--listen", "0"], ["--bogus"]], ids=["domain", "listen", "unknown"]
)
def test_invalid_arguments_exit_2(args):
    proc = subprocess.run([doctor_executable(), *args], capture_output=True, text=True, timeout=30)
    assert proc.returncode == 2, proc.stdout
    assert proc.stdout == ""
