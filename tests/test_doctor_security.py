"""tarvek-doctor on a secured link: against a simulator secured with a controller identity,
a doctor without identity, with one from another keystore, with an observe identity and with
a drive identity; a secured doctor against an unsecured simulator; and identities whose
certificate or permissions have expired. A Robot whose permissions refuse a topic fails at
construction with the library's text."""

from __future__ import annotations

import datetime
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.serialization import pkcs7

from conftest import LOOPBACK_URI, ROOT
from test_doctor import codes, run_doctor, sentence

REFUSED = "dds_create_writer(user_mode): Not Allowed By Security"


def keys(*args: str) -> None:
    subprocess.run([str(Path(sys.prefix) / "bin" / "tarvek-keys"), *args], check=True,
                   capture_output=True, timeout=60)


def uri(path: Path) -> str:
    return f"file://{path}"


@pytest.fixture(scope="module")
def configs(tmp_path_factory) -> dict[str, str]:
    """CYCLONEDDS_URI values: none, each role of one keystore, and a drive identity of another."""
    base = str(ROOT / "config" / "cyclonedds-loopback.xml")
    root = tmp_path_factory.mktemp("keys")
    out = {"none": LOOPBACK_URI}
    for ks, names in ((root / "ks", ("controller", "drive", "observe")), (root / "other", ("stranger",))):
        keys("init", str(ks))
        for name in names:
            keys("add", str(ks), name, "--role", "drive" if name == "stranger" else name)
            keys("config", str(ks), name, "--base", base, "-o", str(root / f"{name}.xml"))
            out[name] = uri(root / f"{name}.xml")
    out["keystore"] = str(root / "ks")
    return out


@pytest.fixture
def secured_sim(start_sim, configs, fresh_ros_domain):
    sim = start_sim("--ros-domain", str(fresh_ros_domain), env={"CYCLONEDDS_URI": configs["controller"]})
    sim.ros_domain = fresh_ros_domain
    return sim


@pytest.mark.parametrize("identity, first, says", [
    ("none", "security_no_identity", "this program has no identity"),
    ("stranger", "security_not_authenticated", "not from the controller's identity CA"),
    ("observe", "security_permissions", REFUSED),
    ("drive", None, None),
])
def test_doctor_says_why_the_secured_controller_is_out_of_reach(secured_sim, configs, domain, identity,
                                                                 first, says):
    rc, report, err = run_doctor("--domain", str(domain), "--ros-domain", str(secured_sim.ros_domain),
                                 env={"CYCLONEDDS_URI": configs[identity]})
    found = [c for c in codes(report) if c.startswith("security_")]
    if first is None:
        assert (rc, found) == (0, []), report["problems"]
        return
    assert found[0] == first, report["problems"]
    assert says in sentence(report, first)
    if identity == "observe":
        # Observing works; only the SDK's own endpoints would be refused.
        assert rc == 0 and report["controller_usable"]
    else:
        # Security explains the silence: no verdict that the controller is missing.
        assert rc == 1
        assert not {"no_participant", "no_controller", "ros2_domain_empty", "no_service"} & set(codes(report))


def test_secured_doctor_sees_an_unsecured_controller(start_sim, configs, domain, fresh_ros_domain):
    start_sim("--ros-domain", str(fresh_ros_domain), env={"CYCLONEDDS_URI": LOOPBACK_URI})
    rc, report, _ = run_doctor("--domain", str(domain), "--ros-domain", str(fresh_ros_domain),
                               env={"CYCLONEDDS_URI": configs["drive"]})
    assert rc == 1
    assert codes(report)[0] == "security_peer_unsecured"
    assert "the controller is not secured" in sentence(report, "security_peer_unsecured")


def expire(configs: dict[str, str], tmp_path: Path, what: str) -> str:
    """A copy of the drive enclave whose certificate, or permissions, ended yesterday, signed
    by the keystore's own CA; returns a configuration that uses it."""
    ks = Path(configs["keystore"])
    enclave = tmp_path / "expired"
    shutil.copytree(ks / "enclaves" / "drive", enclave)
    ca = x509.load_pem_x509_certificate((ks / "public" / "ca.cert.pem").read_bytes())
    ca_key = serialization.load_pem_private_key((ks / "private" / "ca.key.pem").read_bytes(), None)
    now = datetime.datetime.now(datetime.timezone.utc)
    if what == "certificate":
        cert = x509.load_pem_x509_certificate((enclave / "cert.pem").read_bytes())
        renewed = (x509.CertificateBuilder().subject_name(cert.subject).issuer_name(ca.subject)
                   .public_key(cert.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=10))
                   .not_valid_after(now - datetime.timedelta(days=1)).sign(ca_key, hashes.SHA256()))
        (enclave / "cert.pem").write_bytes(renewed.public_bytes(serialization.Encoding.PEM))
    else:
        xml = (enclave / "permissions.xml").read_text()
        start, end = xml.index("<not_after>") + len("<not_after>"), xml.index("</not_after>")
        xml = xml[:start] + (now - datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%S") + xml[end:]
        signed = (pkcs7.PKCS7SignatureBuilder().set_data(xml.encode()).add_signer(ca, ca_key, hashes.SHA256())
                  .sign(serialization.Encoding.SMIME, [pkcs7.PKCS7Options.Text, pkcs7.PKCS7Options.DetachedSignature]))
        (enclave / "permissions.p7s").write_bytes(signed)
    config = Path(configs["drive"][len("file://"):]).read_text()
    (tmp_path / "expired.xml").write_text(config.replace(str(ks / "enclaves" / "drive"), str(enclave)))
    return uri(tmp_path / "expired.xml")


@pytest.mark.parametrize("what, code", [("certificate", "security_certificate_expired"),
                                        ("permissions", "security_permissions_expired")])
def test_doctor_says_this_programs_identity_has_expired(configs, tmp_path, domain, fresh_ros_domain,
                                                        what, code):
    rc, report, err = run_doctor("--domain", str(domain), "--ros-domain", str(fresh_ros_domain),
                                 env={"CYCLONEDDS_URI": expire(configs, tmp_path, what)})
    assert rc == 1
    assert [p["code"] for p in report["problems"]] == [code]
    assert report["error"] == sentence(report, code)
    assert "expired" in err  # Cyclone's own message still reaches standard error


def test_robot_whose_permissions_refuse_a_topic_fails_at_construction(configs, domain):
    code = f"""
        import robot
        try:
            robot.Robot(dds_domain_id={domain})
        except RuntimeError as e:
            print(e)
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=30, env={**os.environ, "CYCLONEDDS_URI": configs["observe"]})
    assert out.stdout.strip() == REFUSED
