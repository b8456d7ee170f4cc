"""A controller written with another DDS binding, for the doctor's tests: it publishes user_obs
with an observation type of the SDK's name declared as that binding declares types.

    python_controller.py DOMAIN appendable   the SDK's members, appendable (the binding's default
                                             data representation for it is XCDR2)
    python_controller.py DOMAIN extra-member final, one member more than the SDK's

Prints "ready" once its writer exists, runs until standard input closes."""

import sys
from dataclasses import dataclass

from cyclonedds.domain import DomainParticipant
from cyclonedds.idl import IdlStruct
from cyclonedds.idl import annotations as annotate
from cyclonedds.idl.types import float32, sequence
from cyclonedds.pub import DataWriter
from cyclonedds.topic import Topic


@dataclass
@annotate.appendable
class AppendableObservation(IdlStruct, typename="core_dds::UserObservation"):
    dof_pos: sequence[float32]
    dof_vel: sequence[float32]
    dof_tau: sequence[float32]
    ang_vel: sequence[float32]
    proj_grav: sequence[float32]
    lin_vel: sequence[float32]
    height_map: sequence[float32]


@dataclass
@annotate.final
class ExtendedObservation(IdlStruct, typename="core_dds::UserObservation"):
    dof_pos: sequence[float32]
    dof_vel: sequence[float32]
    dof_tau: sequence[float32]
    ang_vel: sequence[float32]
    proj_grav: sequence[float32]
    lin_vel: sequence[float32]
    height_map: sequence[float32]
    foot_contact: sequence[float32]


def main() -> None:
    domain, mode = int(sys.argv[1]), sys.argv[2]
    kind = {"appendable": AppendableObservation, "extra-member": ExtendedObservation}[mode]
    participant = DomainParticipant(domain)
    writer = DataWriter(participant, Topic(participant, "user_obs", kind))
    print("ready", flush=True)
    sys.stdin.read()
    del writer


if __name__ == "__main__":
    main()
