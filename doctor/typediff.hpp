#pragma once
// What differs between two types of the same name: read from their complete XTypes type
// objects (the SDK's from its generated descriptors, the controller's fetched by type
// lookup), so the report can say "only the extensibility differs" or name the member.
#include <dds/dds.h>

#include <optional>
#include <string>
#include <vector>

namespace doctor {

struct TypeShape {
  std::string extensibility;  // "final", "appendable" or "mutable"
  struct Member {
    std::string name;
    std::string type;  // as IDL spells it: "sequence<float>", "float[8]", "boolean"
  };
  std::vector<Member> members;
};

// The shape of a structure's complete type object; none for other kinds of type.
std::optional<TypeShape> shapeOf(const dds_typeobj_t* typeObject);

// The shape of the type a descriptor generated here describes; none without type information.
std::optional<TypeShape> descriptorShape(const dds_topic_descriptor_t& descriptor);

// Fetches the complete type object of a discovered endpoint's type through `entity`'s domain,
// asking its owner by type lookup when Cyclone does not have it yet.
std::optional<TypeShape> fetchShape(dds_entity_t entity, const dds_typeinfo_t* info,
                                    dds_duration_t timeout);

struct TypeDifference {
  bool extensibilityOnly = false;
  std::string text;  // "appendable instead of final", "member dof_pos is sequence<double> ..."
};

// The controller's type against the SDK's; none when the shapes are the same.
std::optional<TypeDifference> compareShapes(const TypeShape& sdk, const TypeShape& controller);

}  // namespace doctor
