"""tarvek-keys: DDS Security keys, signed governance and permissions, and Cyclone
configurations for a robot link that only its owner can drive."""
