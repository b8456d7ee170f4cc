"""The governance and permissions documents, and the Cyclone configuration that points a
participant at an enclave."""

from __future__ import annotations

import datetime
import os
import xml.etree.ElementTree as ET
from pathlib import Path

# What each role publishes and subscribes to. The configuration service's topics and the
# ROS 2 graph topic go to the roles that are a ROS 2 client (drive: the Joystick) or server
# (controller); observe is the recorder, the live view and the doctor, which only listen.
SDK_TO_CONTROLLER = ["user_mode", "user_action", "user_gains", "user_obs_request"]
SDK_FROM_CONTROLLER = ["user_obs", "user_command"]
SERVICE_REQUEST = "rq/dynamic_param_configRequest"
SERVICE_REPLY = "rr/dynamic_param_configReply"
ROS_GRAPH = "ros_discovery_info"

ROLES: dict[str, tuple[list[str], list[str]]] = {
    "drive": (SDK_TO_CONTROLLER + [SERVICE_REQUEST, ROS_GRAPH],
              SDK_FROM_CONTROLLER + [SERVICE_REPLY, ROS_GRAPH]),
    "controller": (SDK_FROM_CONTROLLER + [SERVICE_REPLY, ROS_GRAPH],
                   SDK_TO_CONTROLLER + [SERVICE_REQUEST, ROS_GRAPH]),
    "observe": ([], SDK_TO_CONTROLLER + SDK_FROM_CONTROLLER + [SERVICE_REQUEST, SERVICE_REPLY,
                                                               ROS_GRAPH]),
}

_XSI = "http://www.w3.org/2001/XMLSchema-instance"
_SCHEMA = "http://www.omg.org/spec/DDS-SECURITY/20170901/omg_shared_ca_{}.xsd"


def _sub(parent: ET.Element, tag: str, text: str | None = None) -> ET.Element:
    e = ET.SubElement(parent, tag)
    if text is not None:
        e.text = text
    return e


def _root(kind: str) -> ET.Element:
    root = ET.Element("dds")
    root.set("xmlns:xsi", _XSI)
    root.set("xsi:noNamespaceSchemaLocation", _SCHEMA.format(kind))
    return root


def _domains(parent: ET.Element, domains: tuple[int, int]) -> None:
    r = _sub(_sub(parent, "domains"), "id_range")
    _sub(r, "min", str(domains[0]))
    _sub(r, "max", str(domains[1]))


def _serialise(root: ET.Element) -> bytes:
    ET.indent(root, "  ")
    return ET.tostring(root, encoding="UTF-8", xml_declaration=True) + b"\n"


def governance(domains: tuple[int, int], payload_only: bool = False) -> bytes:
    """Only authenticated participants with permissions join; discovery and liveliness are
    always encrypted. By default whole RTPS messages are encrypted as well (the protocol's
    headers and every submessage); payload_only encrypts just each sample's data, which
    leaves who talks to whom and when readable on the wire but costs less per sample."""
    root = _root("governance")
    rule = _sub(_sub(root, "domain_access_rules"), "domain_rule")
    _domains(rule, domains)
    _sub(rule, "allow_unauthenticated_participants", "false")
    _sub(rule, "enable_join_access_control", "true")
    _sub(rule, "discovery_protection_kind", "ENCRYPT")
    _sub(rule, "liveliness_protection_kind", "ENCRYPT")
    _sub(rule, "rtps_protection_kind", "NONE" if payload_only else "ENCRYPT")
    topic = _sub(_sub(rule, "topic_access_rules"), "topic_rule")
    _sub(topic, "topic_expression", "*")
    _sub(topic, "enable_discovery_protection", "true")
    _sub(topic, "enable_liveliness_protection", "true")
    _sub(topic, "enable_read_access_control", "true")
    _sub(topic, "enable_write_access_control", "true")
    _sub(topic, "metadata_protection_kind", "NONE" if payload_only else "ENCRYPT")
    _sub(topic, "data_protection_kind", "ENCRYPT")
    return _serialise(root)


def governance_domains(document: bytes) -> tuple[int, int]:
    """The domain range a keystore was made for, so that grants cover the same range."""
    r = ET.fromstring(document).find("./domain_access_rules/domain_rule/domains/id_range")
    return int(r.findtext("min")), int(r.findtext("max"))


def _xml_time(t: datetime.datetime) -> str:
    # UTC without a zone suffix, as ROS 2's tools write it and the plugin reads it.
    return t.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")


def _topics(parent: ET.Element, kind: str, topics: list[str]) -> None:
    e = _sub(parent, kind)
    t = _sub(e, "topics")
    for name in topics:
        _sub(t, "topic", name)
    # A criterion without partitions matches only endpoints in the default partition; ROS 2
    # endpoints and any reader or writer given a partition would be refused (-13).
    _sub(_sub(e, "partitions"), "partition", "*")


def permissions(subject: str, role: str, domains: tuple[int, int],
                not_before: datetime.datetime, not_after: datetime.datetime,
                topics: tuple[list[str], list[str]] | None = None) -> bytes:
    """One grant for the subject; `topics` (publish, subscribe) replaces the role's."""
    publish, subscribe = topics or ROLES[role]
    root = _root("permissions")
    grant = _sub(_sub(root, "permissions"), "grant")
    grant.set("name", f"{role}:{subject}")
    _sub(grant, "subject_name", subject)
    validity = _sub(grant, "validity")
    _sub(validity, "not_before", _xml_time(not_before))
    _sub(validity, "not_after", _xml_time(not_after))
    allow = _sub(grant, "allow_rule")
    _domains(allow, domains)
    if publish:
        _topics(allow, "publish", publish)
    _topics(allow, "subscribe", subscribe)
    _sub(grant, "default", "DENY")
    return _serialise(root)


# -- the Cyclone configuration --------------------------------------------------------------

# The three plugins, by the name Cyclone turns into lib<name>.so and loads from inside
# libddsc: the name alone finds them beside the libddsc that runs (the wheel carries them
# there; Debian's libddsc looks in its own plugin directory after the loader's path), so one
# configuration serves every machine and never pairs a libddsc with another one's plugins.
PLUGINS = {
    "Authentication": ("dds_security_auth", "init_authentication", "finalize_authentication"),
    "AccessControl": ("dds_security_ac", "init_access_control", "finalize_access_control"),
    "Cryptographic": ("dds_security_crypto", "init_crypto", "finalize_crypto"),
}


def plugin_library(name: str) -> str:
    """The value of a plugin's Library path attribute."""
    return name


def _uri(path: Path) -> str:
    # Absolute but with the keystore's links kept, so the files read are the enclave's own.
    return Path(os.path.abspath(path)).as_uri()


def security_section(ns: str, enclave: Path) -> ET.Element:
    """Cyclone's Security element for one enclave's files."""
    q = (lambda tag: f"{{{ns}}}{tag}") if ns else (lambda tag: tag)
    files = {
        "Authentication": [("IdentityCA", "identity_ca.cert.pem"),
                           ("IdentityCertificate", "cert.pem"), ("PrivateKey", "key.pem")],
        "AccessControl": [("PermissionsCA", "permissions_ca.cert.pem"),
                          ("Governance", "governance.p7s"), ("Permissions", "permissions.p7s")],
        "Cryptographic": [],
    }
    security = ET.Element(q("Security"))
    for plugin, (library, init, finalize) in PLUGINS.items():
        e = ET.SubElement(security, q(plugin))
        ET.SubElement(e, q("Library"), path=plugin_library(library), initFunction=init,
                      finalizeFunction=finalize)
        for tag, name in files[plugin]:
            ET.SubElement(e, q(tag)).text = _uri(enclave / name)
    return security


def config(base: bytes, enclave: Path) -> bytes:
    """The base configuration with the enclave's Security section in each of its Domain
    elements (replacing one already there), or in a new Domain for every id."""
    parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True))
    root = ET.fromstring(base, parser=parser)
    ns = root.tag[1:].split("}")[0] if root.tag.startswith("{") else ""
    if ns:
        ET.register_namespace("", ns)
    q = (lambda tag: f"{{{ns}}}{tag}") if ns else (lambda tag: tag)
    if root.tag != q("CycloneDDS"):
        raise ValueError(f"the base configuration's root element is {root.tag}, not CycloneDDS")
    domains = root.findall(q("Domain"))
    if not domains:
        domains = [ET.SubElement(root, q("Domain"), Id="any")]
    for domain in domains:
        for old in domain.findall(q("Security")):
            domain.remove(old)
        domain.append(security_section(ns, enclave))
    ET.indent(root, "  ")
    return ET.tostring(root, encoding="UTF-8", xml_declaration=True) + b"\n"
