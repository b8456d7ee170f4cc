#pragma once
// Writing samples with the encapsulation header ROS 2 writers put on the wire.
//
// Cyclone notes the number of trailing padding bytes in the two encapsulation option
// bytes ("00 01 00 03" for a body three bytes short of a multiple of four); the ROS 2
// middleware on Cyclone always writes "00 01 00 00" and pads with zeros. Readers ignore
// the options either way, but our samples are meant to be indistinguishable on the wire.
#include <dds/dds.h>

#include <string>
#include <vector>

namespace ros2::detail {

// `sample` of the final, keyless type `type` as it goes on the wire: "00 01 00 00",
// the little-endian plain CDR body, zeros up to a multiple of four. Throws
// std::runtime_error when the sample cannot be serialised (a bounded string too long).
std::vector<unsigned char> plainCdr(const dds_topic_descriptor_t* type, const void* sample);

// Writes those bytes on `writer` (whose topic has type `type`); Cyclone checks them
// against the writer's type as it does for received data. Throws
// std::runtime_error("<what>: ...") on failure.
void writePlainCdr(dds_entity_t writer, const dds_topic_descriptor_t* type, const void* sample,
                   const std::string& what);

}  // namespace ros2::detail
