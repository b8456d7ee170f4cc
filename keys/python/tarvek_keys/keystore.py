"""A DDS Security keystore laid out the way ROS 2's security tools lay theirs out, so either
side reads the other's:

    public/ca.cert.pem               the CA certificate (identity and permissions)
    public/identity_ca.cert.pem      -> ca.cert.pem
    public/permissions_ca.cert.pem   -> ca.cert.pem
    private/ca.key.pem               the CA's private key (0600)
    private/identity_ca.key.pem      -> ca.key.pem
    private/permissions_ca.key.pem   -> ca.key.pem
    enclaves/governance.xml, governance.p7s
    enclaves/<name>/cert.pem, key.pem (0600), permissions.xml, permissions.p7s,
                    identity_ca.cert.pem, permissions_ca.cert.pem, governance.p7s (links)

Certificates use ECDSA on P-256 with SHA-256, which the authentication plugin accepts;
documents are S/MIME signed by the CA, as the access control plugin expects.
"""

from __future__ import annotations

import datetime
import os
import re
import secrets
import tempfile
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import pkcs7
from cryptography.x509.oid import NameOID

from tarvek_keys import documents

# Ten years, as ROS 2's tools choose: a robot's keys are replaced by hand, not by a service.
VALIDITY = datetime.timedelta(days=3650)
# Clocks of a laptop and a robot rarely agree to the second; a certificate dated "now" on
# one would be refused as not yet valid on the other.
CLOCK_SLACK = datetime.timedelta(hours=1)

# Enclave names follow ROS 2's: path segments of letters, digits and underscores.
_ENCLAVE = re.compile(r"/?[A-Za-z_][A-Za-z0-9_]*(/[A-Za-z_][A-Za-z0-9_]*)*")


class KeystoreError(Exception):
    """A refusal with a message for the user (the command line prints it and exits 1)."""


@dataclass(frozen=True)
class Keystore:
    root: Path

    @property
    def ca_cert(self) -> Path:
        return self.root / "public" / "ca.cert.pem"

    @property
    def ca_key(self) -> Path:
        return self.root / "private" / "ca.key.pem"

    @property
    def governance_xml(self) -> Path:
        return self.root / "enclaves" / "governance.xml"

    @property
    def governance(self) -> Path:
        return self.root / "enclaves" / "governance.p7s"

    def enclave(self, name: str) -> Path:
        return self.root / "enclaves" / enclave_path(name)


def enclave_path(name: str) -> str:
    """The enclave's directory below enclaves/ ("/drive" and "drive" are the same one)."""
    if not _ENCLAVE.fullmatch(name):
        raise KeystoreError(
            f"invalid enclave name {name!r}: use letters, digits and underscores, "
            "segments separated by '/'")
    return name.strip("/")


def subject_of(name: str) -> str:
    """The subject an enclave's certificate and its permissions' grant carry, as ROS 2 names it."""
    return "/" + enclave_path(name)


# -- files --------------------------------------------------------------------------------

def _write(path: Path, data: bytes, *, private: bool = False, force: bool = True) -> None:
    """Writes atomically: a reader never sees half a file, and a crash leaves the old one.
    A private key is created 0600 before any byte of it is written, and without `force`
    it is published with link(), which fails if the name exists, so even a key that appears
    meanwhile is not replaced."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        os.fchmod(fd, 0o600 if private else 0o644)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if force:
            os.replace(tmp, path)
        else:
            try:
                os.link(tmp, path)
            except FileExistsError:
                raise KeystoreError(f"{path} exists; pass --force to replace it") from None
            os.unlink(tmp)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _link(path: Path, target: str) -> None:
    """A relative symbolic link, replaced if present, so the keystore can be moved whole."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.{secrets.token_hex(4)}")
    os.symlink(target, tmp)
    os.replace(tmp, path)


def _refuse_existing(key: Path, force: bool) -> None:
    if not force and (key.exists() or key.is_symlink()):
        raise KeystoreError(f"{key} exists; pass --force to replace it")


def _pem_key(key: ec.EllipticCurvePrivateKey) -> bytes:
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _pem_cert(cert: x509.Certificate) -> bytes:
    return cert.public_bytes(serialization.Encoding.PEM)


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def _load_ca(ks: Keystore) -> tuple[x509.Certificate, ec.EllipticCurvePrivateKey]:
    try:
        cert = x509.load_pem_x509_certificate(ks.ca_cert.read_bytes())
        key = serialization.load_pem_private_key(ks.ca_key.read_bytes(), password=None)
    except FileNotFoundError as e:
        raise KeystoreError(f"{ks.root} is not a keystore ({e.filename} is missing); "
                            f"create it with: tarvek-keys init {ks.root}") from None
    return cert, key


def sign(document: bytes, cert: x509.Certificate, key) -> bytes:
    """S/MIME, signature detached, content marked text/plain: the form the access control
    plugin verifies (it strips the text/plain header before reading the XML)."""
    return (pkcs7.PKCS7SignatureBuilder()
            .set_data(document)
            .add_signer(cert, key, hashes.SHA256())
            .sign(serialization.Encoding.SMIME,
                  [pkcs7.PKCS7Options.Text, pkcs7.PKCS7Options.DetachedSignature]))


# -- commands -----------------------------------------------------------------------------

def init(root: Path, domains: tuple[int, int], payload_only: bool = False,
         force: bool = False) -> Keystore:
    ks = Keystore(root)
    _refuse_existing(ks.ca_key, force)
    key = ec.generate_private_key(ec.SECP256R1())
    # A name of its own per CA, so that a certificate from another keystore is reported as
    # "unable to get local issuer certificate" rather than as a bad signature.
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME,
                                         f"tarvek-keys CA {secrets.token_hex(4)}")])
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - CLOCK_SLACK).not_valid_after(now + VALIDITY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=1), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True, crl_sign=True,
                                         encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .sign(key, hashes.SHA256()))

    (root / "private").mkdir(parents=True, exist_ok=True)
    os.chmod(root / "private", 0o700)
    _write(ks.ca_key, _pem_key(key), private=True, force=force)
    _write(ks.ca_cert, _pem_cert(cert))
    for role in ("identity_ca", "permissions_ca"):
        _link(root / "public" / f"{role}.cert.pem", "ca.cert.pem")
        _link(root / "private" / f"{role}.key.pem", "ca.key.pem")
    governance = documents.governance(domains, payload_only)
    _write(ks.governance_xml, governance)
    _write(ks.governance, sign(governance, cert, key))
    return ks


def add(root: Path, name: str, role: str, force: bool = False,
        topics: tuple[list[str], list[str]] | None = None) -> Path:
    ks = Keystore(root)
    enclave = ks.enclave(name)
    subject = subject_of(name)
    ca_cert, ca_key = _load_ca(ks)
    _refuse_existing(enclave / "key.pem", force)
    domains = documents.governance_domains(ks.governance_xml.read_bytes())

    key = ec.generate_private_key(ec.SECP256R1())
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
            .issuer_name(ca_cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - CLOCK_SLACK).not_valid_after(now + VALIDITY)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_cert.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    permissions = documents.permissions(
        subject=cert.subject.rfc4514_string(), role=role, domains=domains,
        not_before=now - CLOCK_SLACK, not_after=now + VALIDITY, topics=topics)

    enclave.mkdir(parents=True, exist_ok=True)
    _write(enclave / "cert.pem", _pem_cert(cert))
    _write(enclave / "permissions.xml", permissions)
    _write(enclave / "permissions.p7s", sign(permissions, ca_cert, ca_key))
    up = os.path.relpath(ks.root, enclave)
    _link(enclave / "identity_ca.cert.pem", f"{up}/public/identity_ca.cert.pem")
    _link(enclave / "permissions_ca.cert.pem", f"{up}/public/permissions_ca.cert.pem")
    _link(enclave / "governance.p7s", os.path.relpath(ks.governance, enclave))
    # The key last: an enclave with a key is complete, so a second `add` refuses only then.
    _write(enclave / "key.pem", _pem_key(key), private=True, force=force)
    return enclave
