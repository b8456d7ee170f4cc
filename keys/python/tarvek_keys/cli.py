"""tarvek-keys: the certificates, signed documents and Cyclone configurations of a robot link
that only its owner can drive."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

DESCRIPTION = """\
Makes a DDS Security keystore (the layout ROS 2's security tools use), identities with
permissions by role, and Cyclone configurations that use them.

  tarvek-keys init KEYSTORE [--domains 0-230] [--payload-only] [--force]
  tarvek-keys add KEYSTORE NAME --role controller|drive|observe [--force]
  tarvek-keys config KEYSTORE NAME [--base FILE] -o FILE

Roles: drive publishes user_mode, user_action, user_gains, user_obs_request and reads
user_obs, user_command (a Robot and a Joystick); controller is the converse (the robot's
controller, the simulator); observe only reads (tarvek-record, tarvek-doctor). drive and
controller also get the configuration service's topics as its client and server.
"""

# Measured on loopback with bench/sdk_bench.py (get_obs round trip, one x86-64 core each).
PAYLOAD_ONLY_HELP = (
    "encrypt only each sample's data, not whole messages: who talks to whom, sequence "
    "numbers and timing stay readable on the wire. Measured extra cost per get_obs round "
    "trip: about 6 us instead of about 20 us for full protection")


# The access control plugin refuses a governance or permissions document naming a domain id
# above 230 ("Can not parse governance file"), so domains 231 and 232 cannot be secured.
MAX_SECURED_DOMAIN = 230


def _domains(text: str) -> tuple[int, int]:
    lo, _, hi = text.partition("-")
    try:
        r = (int(lo), int(hi or lo))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a domain id or a range like 0-230")
    if not 0 <= r[0] <= r[1] <= MAX_SECURED_DOMAIN:
        raise argparse.ArgumentTypeError(
            f"{text!r}: secured domain ids go from 0 to {MAX_SECURED_DOMAIN}, low to high")
    return r


def _default_base() -> Path:
    # Installed beside this package in the wheel; a source checkout has it in config/.
    here = Path(__file__).resolve().parent
    for candidate in (here / "cyclonedds-loopback.xml",
                      here.parents[2] / "config" / "cyclonedds-loopback.xml"):
        if candidate.exists():
            return candidate
    raise FileNotFoundError("the loopback configuration is not installed; pass --base FILE")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="tarvek-keys", description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, metavar="{init,add,config}")

    i = sub.add_parser("init", help="a CA and the signed governance of a new keystore")
    i.add_argument("keystore", type=Path)
    i.add_argument("--domains", type=_domains, default=(0, MAX_SECURED_DOMAIN),
                   help="DDS domain ids the keystore covers, N or LOW-HIGH (default and most: "
                        f"0-{MAX_SECURED_DOMAIN})")
    i.add_argument("--payload-only", action="store_true", help=PAYLOAD_ONLY_HELP)
    i.add_argument("--force", action="store_true", help="replace an existing CA key")

    a = sub.add_parser("add", help="an identity and its signed permissions")
    a.add_argument("keystore", type=Path)
    a.add_argument("name", help="the enclave, e.g. policy or /robot/controller")
    a.add_argument("--role", required=True, choices=["controller", "drive", "observe"])
    a.add_argument("--force", action="store_true", help="replace an existing identity key")

    c = sub.add_parser("config", help="a Cyclone configuration for CYCLONEDDS_URI")
    c.add_argument("keystore", type=Path)
    c.add_argument("name")
    c.add_argument("--base", type=Path, default=None,
                   help="the network configuration to add security to (default: loopback only)")
    c.add_argument("-o", "--output", type=Path, required=True)
    return p


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    from tarvek_keys import documents, keystore

    try:
        if args.command == "init":
            ks = keystore.init(args.keystore, args.domains, args.payload_only, args.force)
            print(f"keystore {ks.root} (domains {args.domains[0]}-{args.domains[1]})")
        elif args.command == "add":
            enclave = keystore.add(args.keystore, args.name, args.role, args.force)
            print(f"enclave {enclave} ({args.role})")
        else:
            ks = keystore.Keystore(args.keystore)
            enclave = ks.enclave(args.name)
            if not (enclave / "key.pem").exists():
                raise keystore.KeystoreError(
                    f"no identity {args.name!r} in {ks.root}; create it with: "
                    f"tarvek-keys add {ks.root} {args.name} --role ...")
            base = args.base or _default_base()
            try:
                text = documents.config(base.read_bytes(), enclave)
            except documents.ET.ParseError as e:
                raise keystore.KeystoreError(f"{base}: not XML ({e})") from None
            except ValueError as e:
                raise keystore.KeystoreError(f"{base}: {e}") from None
            keystore._write(args.output, text)
            # One line that a shell can export as it is.
            print(f"CYCLONEDDS_URI={args.output.resolve().as_uri()}")
    except keystore.KeystoreError as e:
        print(f"tarvek-keys: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"tarvek-keys: {e}", file=sys.stderr)
        return 1
    return 0
