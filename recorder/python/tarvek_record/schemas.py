"""Message definitions of every recorded topic, in the ros2msg syntax.

The six SDK types are final structs, and the service types are final too, so their CDR
bodies are exactly what these definitions describe: sequences as a count then elements,
fixed arrays as elements only, booleans as one byte, alignment to the element size. The
service's [8][4] array is flattened to float32[32], which has the same bytes."""

from __future__ import annotations

OBS_FIELDS = ("dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel", "height_map")

_REQUEST = """\
uint64 client_id
int64 sequence_number
int8[] field_1
float32[] kp
float32[] kd
float32[] field_4
int32[8] slot_of
float32 dpad_step_x
float32 dpad_step_y
float32 field_8
float32 field_9
float32[8] range_low
float32[8] range_high
float64 field_12
float64 field_13
bool field_14
int32[6] field_15
float32[8] lower_bounds
float32[8] upper_bounds
float32 field_18
float32 field_19
float32 field_20
float32[] field_21
int32 field_22
float32[32] field_23
"""

# topic -> (schema name, ros2msg text)
SCHEMAS: dict[str, tuple[str, str]] = {
    "user_mode": ("core_dds/msg/UserMode", "bool enabled\n"),
    "user_command": ("core_dds/msg/UserCommand", "float32[8] motion_command\n"),
    "user_action": ("core_dds/msg/UserAction", "float32[] value\nbool torque_control\n"),
    "user_gains": ("core_dds/msg/UserGains", "float32[] kp\nfloat32[] kd\n"),
    "user_obs_request": ("core_dds/msg/UserObsRequest", "bool request\n"),
    "user_obs": ("core_dds/msg/UserObservation", "".join(f"float32[] {f}\n" for f in OBS_FIELDS)),
    "rq/dynamic_param_configRequest": ("core/srv/DynamicParam_Request", _REQUEST),
    "rr/dynamic_param_configReply": (
        "core/srv/DynamicParam_Response",
        "uint64 client_id\nint64 sequence_number\nbool success\nstring message\n"),
}
