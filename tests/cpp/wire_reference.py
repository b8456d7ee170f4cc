"""Reference bytes for the six message types from an independent serializer.

The native wire test runs this with the project's environment: it declares the six types
as Python dataclasses, the way a peer written in Python would, and lets cyclonedds-python
serialize samples and compute the XTypes type information and mapping. Nothing here
touches the network.

stdin:  {"samples": [{"type": "UserGains", "fields": {"kp": [<float32 bits>...], ...}}]}
stdout: {"types": {"UserGains": {...}}, "samples": [{"xcdr1": hex, "xcdr2": hex}]}
Floats travel as their 32-bit patterns so that -0.0 and the infinities survive JSON.
"""

import json
import struct
import sys
from dataclasses import dataclass

from cyclonedds.idl import IdlStruct
from cyclonedds.idl._xt_builder import XTBuilder
from cyclonedds.idl.annotations import final
import cyclonedds.idl.types as t


@dataclass
@final
class UserObservation(IdlStruct, typename="core_dds::UserObservation"):
    dof_pos: t.sequence[t.float32]
    dof_vel: t.sequence[t.float32]
    dof_tau: t.sequence[t.float32]
    ang_vel: t.sequence[t.float32]
    proj_grav: t.sequence[t.float32]
    lin_vel: t.sequence[t.float32]
    height_map: t.sequence[t.float32]


@dataclass
@final
class UserObsRequest(IdlStruct, typename="core_dds::UserObsRequest"):
    request: bool


@dataclass
@final
class UserGains(IdlStruct, typename="core_dds::UserGains"):
    kp: t.sequence[t.float32]
    kd: t.sequence[t.float32]


@dataclass
@final
class UserAction(IdlStruct, typename="core_dds::UserAction"):
    value: t.sequence[t.float32]
    torque_control: bool


@dataclass
@final
class UserCommand(IdlStruct, typename="core_dds::UserCommand"):
    motion_command: t.array[t.float32, 8]


@dataclass
@final
class UserMode(IdlStruct, typename="core_dds::UserMode"):
    enabled: bool


TYPES = {cls.__name__: cls for cls in
         (UserObservation, UserObsRequest, UserGains, UserAction, UserCommand, UserMode)}


def to_float(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def field_value(value):
    if isinstance(value, list):
        return [to_float(bits) for bits in value]
    return value


def identifier(with_deps):
    type_id = with_deps.typeid_with_size.type_id
    return {"kind": type_id.discriminator, "hash": bytes(type_id.value).hex(),
            "size": with_deps.typeid_with_size.typeobject_serialized_size}


def type_entry(cls):
    info, mapping = XTBuilder.process_type(cls)
    # serialize() puts a 4-byte encapsulation header in front; the descriptors hold bodies.
    return {"typename": cls.__idl_typename__.replace(".", "::"),
            "type_information": info.serialize()[4:].hex(),
            "type_mapping": mapping.serialize()[4:].hex(),
            "minimal": identifier(info.minimal),
            "complete": identifier(info.complete)}


def main():
    request = json.load(sys.stdin)
    samples = []
    for sample in request["samples"]:
        cls = TYPES[sample["type"]]
        obj = cls(**{k: field_value(v) for k, v in sample["fields"].items()})
        samples.append({"xcdr1": obj.serialize(use_version_2=False).hex(),
                        "xcdr2": obj.serialize(use_version_2=True).hex()})
    json.dump({"types": {name: type_entry(cls) for name, cls in TYPES.items()},
               "samples": samples}, sys.stdout)


if __name__ == "__main__":
    main()
