"""The ROS 2 side under ROS 2's own security switches: a Joystick with an enclave configures a
simulator whose service side is secured, one without gets no service, and Enforce without
the enclave's files refuses to start, in the Joystick and in the simulator alike. Each
Joystick runs in a process of its own: the ROS 2 context, and with it the security it read,
lives as long as its process."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import sim_executable

ENFORCED = "ROS 2 security is enforced (ROS_SECURITY_STRATEGY=Enforce) but enclave "


def keys(*args: str) -> None:
    subprocess.run([str(Path(sys.prefix) / "bin" / "tarvek-keys"), *args], check=True,
                   capture_output=True, timeout=60)


@pytest.fixture(scope="module")
def keystore(tmp_path_factory) -> Path:
    ks = tmp_path_factory.mktemp("keys") / "ks"
    keys("init", str(ks))
    keys("add", str(ks), "controller", "--role", "controller")
    keys("add", str(ks), "drive", "--role", "drive")
    return ks


def secured(keystore: Path, enclave: str | None, strategy: str = "Enforce") -> dict[str, str]:
    env = {"ROS_SECURITY_ENABLE": "true", "ROS_SECURITY_STRATEGY": strategy,
           "ROS_SECURITY_KEYSTORE": str(keystore)}
    if enclave is not None:
        env["ROS_SECURITY_ENCLAVE_OVERRIDE"] = enclave
    return env


def clean_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ROS_SECURITY_") and k != "ROS_DOMAIN_ID"}
    env.update(extra or {})
    return env


def construct_joystick(domain: int, ros_domain: int, state_dir, env: dict[str, str]) -> dict:
    code = f"""
        import json, time, joystick
        t = time.monotonic()
        try:
            joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={ros_domain})
            print(json.dumps({{"ok": True, "s": time.monotonic() - t}}))
        except RuntimeError as e:
            print(json.dumps({{"ok": False, "error": str(e), "s": time.monotonic() - t}}))
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                         env={**clean_env(env), "TMPDIR": str(state_dir)},
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.fixture
def secured_sim(start_sim, keystore, fresh_ros_domain):
    sim = start_sim("--ros-domain", str(fresh_ros_domain),
                    env=clean_env(secured(keystore, "/controller")))
    sim.ros_domain = fresh_ros_domain
    return sim


def test_joystick_with_an_enclave_configures_the_secured_simulator(secured_sim, keystore, domain,
                                                                    state_dir):
    result = construct_joystick(domain, secured_sim.ros_domain, state_dir,
                                secured(keystore, "/drive"))
    assert result["ok"], result
    request = secured_sim.wait_for(lambda e: e.get("event") == "service_request")
    assert request["sequence_number"] == 1
    secured_sim.wait_for(lambda e: e.get("event") == "service_reply" and e["delivered"])


@pytest.mark.slow
def test_joystick_without_security_finds_no_secured_service(secured_sim, domain, state_dir):
    result = construct_joystick(domain, secured_sim.ros_domain, state_dir, {})
    assert result == {"ok": False, "error": "dynamic_param service is unavailable", "s": result["s"]}
    assert not [e for e in secured_sim.poll() if e.get("event") == "service_request"]


@pytest.mark.parametrize("case", ["no-keystore", "no-enclave", "root-enclave"])
def test_enforce_without_the_files_refuses_to_start(case, keystore, domain, fresh_ros_domain, state_dir):
    enclaves = keystore / "enclaves"
    env, why = {
        "no-keystore": ({**secured(keystore, "/drive"), "ROS_SECURITY_KEYSTORE": ""},
                        "'/drive' has no security files: ROS_SECURITY_KEYSTORE is not set"),
        "no-enclave": (secured(keystore, "/nobody"),
                       f"'/nobody' has no security files: no directory {enclaves / 'nobody'}"),
        # Without the override a process's own enclave is "/": the enclaves directory
        # itself, which holds the governance but no identity.
        "root-enclave": (secured(keystore, None),
                         f"'/' has no security files: {enclaves} lacks identity_ca.cert.pem, "
                         "cert.pem, key.pem, permissions_ca.cert.pem, permissions.p7s"),
    }[case]
    result = construct_joystick(domain, fresh_ros_domain, state_dir, env)
    assert not result["ok"]
    assert result["error"] == ENFORCED + why
    # Refused before any waiting for the service.
    assert result["s"] < 1.5
    sim = subprocess.run([sim_executable(), "--domain", str(domain), "--ros-domain", str(fresh_ros_domain)],
                         env=clean_env(env), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=30)
    events = [json.loads(line) for line in sim.stdout.splitlines()]
    assert sim.returncode == 1
    assert {"event": "error", "message": ENFORCED + why} in [
        {k: e.get(k) for k in ("event", "message")} for e in events]


def test_permissive_without_the_files_starts_unsecured(start_sim, keystore, domain, fresh_ros_domain,
                                                        state_dir):
    # Permissive is ROS 2's default: a missing enclave means an unsecured participant,
    # which an unsecured simulator answers.
    sim = start_sim("--ros-domain", str(fresh_ros_domain), env=clean_env())
    result = construct_joystick(domain, fresh_ros_domain, state_dir,
                                secured(keystore, "/nobody", strategy="Permissive"))
    assert result["ok"], result
    sim.wait_for(lambda e: e.get("event") == "service_request")
