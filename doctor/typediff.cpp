#include "doctor/typediff.hpp"

#include <dds/ddsi/ddsi_sertype.h>
#include <dds/ddsi/ddsi_typelib.h>
#include <dds/ddsi/ddsi_xt_impl.h>
#include <dds/ddsi/ddsi_xt_typeinfo.h>
#include <dds/ddsi/ddsi_xt_typemap.h>

#include <algorithm>
#include <cstring>

namespace doctor {
namespace {

std::string typeText(const DDS_XTypes_TypeIdentifier& id);

std::string elementText(const DDS_XTypes_TypeIdentifier* element) {
  return element != nullptr ? typeText(*element) : "?";
}

std::string typeText(const DDS_XTypes_TypeIdentifier& id) {
  switch (id._d) {
    case DDS_XTypes_TK_BOOLEAN:
      return "boolean";
    case DDS_XTypes_TK_BYTE:
      return "octet";
    case DDS_XTypes_TK_INT16:
      return "short";
    case DDS_XTypes_TK_INT32:
      return "long";
    case DDS_XTypes_TK_INT64:
      return "long long";
    case DDS_XTypes_TK_UINT16:
      return "unsigned short";
    case DDS_XTypes_TK_UINT32:
      return "unsigned long";
    case DDS_XTypes_TK_UINT64:
      return "unsigned long long";
    case DDS_XTypes_TK_FLOAT32:
      return "float";
    case DDS_XTypes_TK_FLOAT64:
      return "double";
    case DDS_XTypes_TK_FLOAT128:
      return "long double";
    case DDS_XTypes_TK_CHAR8:
      return "char";
    case DDS_XTypes_TK_CHAR16:
      return "wchar";
    case DDS_XTypes_TI_STRING8_SMALL:
      return id._u.string_sdefn.bound ? "string<" + std::to_string(id._u.string_sdefn.bound) + ">"
                                      : "string";
    case DDS_XTypes_TI_STRING8_LARGE:
      return "string<" + std::to_string(id._u.string_ldefn.bound) + ">";
    case DDS_XTypes_TI_STRING16_SMALL:
    case DDS_XTypes_TI_STRING16_LARGE:
      return "wstring";
    case DDS_XTypes_TI_PLAIN_SEQUENCE_SMALL: {
      const auto& s = id._u.seq_sdefn;
      return "sequence<" + elementText(s.element_identifier) +
             (s.bound ? ", " + std::to_string(s.bound) : "") + ">";
    }
    case DDS_XTypes_TI_PLAIN_SEQUENCE_LARGE: {
      const auto& s = id._u.seq_ldefn;
      return "sequence<" + elementText(s.element_identifier) + ", " + std::to_string(s.bound) +
             ">";
    }
    case DDS_XTypes_TI_PLAIN_ARRAY_SMALL: {
      const auto& a = id._u.array_sdefn;
      std::string text = elementText(a.element_identifier);
      for (uint32_t i = 0; i < a.array_bound_seq._length; ++i)
        text += "[" + std::to_string(a.array_bound_seq._buffer[i]) + "]";
      return text;
    }
    case DDS_XTypes_TI_PLAIN_ARRAY_LARGE: {
      const auto& a = id._u.array_ldefn;
      std::string text = elementText(a.element_identifier);
      for (uint32_t i = 0; i < a.array_bound_seq._length; ++i)
        text += "[" + std::to_string(a.array_bound_seq._buffer[i]) + "]";
      return text;
    }
    case DDS_XTypes_EK_COMPLETE:
    case DDS_XTypes_EK_MINIMAL: {
      // A type of its own (a nested structure, an enumeration): its hash tells them apart.
      static const char digits[] = "0123456789abcdef";
      std::string text = "a named type ";
      for (const uint8_t byte : id._u.equivalence_hash) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
      }
      return text;
    }
  }
  return "type kind " + std::to_string(id._d);
}

}  // namespace

std::optional<TypeShape> shapeOf(const dds_typeobj_t* typeObject) {
  if (typeObject == nullptr) return std::nullopt;
  const DDS_XTypes_TypeObject& object = typeObject->x;
  if (object._d != DDS_XTypes_EK_COMPLETE || object._u.complete._d != DDS_XTypes_TK_STRUCTURE)
    return std::nullopt;
  const DDS_XTypes_CompleteStructType& s = object._u.complete._u.struct_type;
  TypeShape shape;
  shape.extensibility = (s.struct_flags & DDS_XTypes_IS_MUTABLE)      ? "mutable"
                        : (s.struct_flags & DDS_XTypes_IS_APPENDABLE) ? "appendable"
                                                                      : "final";
  for (uint32_t i = 0; i < s.member_seq._length; ++i) {
    const auto& m = s.member_seq._buffer[i];
    shape.members.push_back({m.detail.name, typeText(m.common.member_type_id)});
  }
  return shape;
}

std::optional<TypeShape> descriptorShape(const dds_topic_descriptor_t& descriptor) {
  if (descriptor.type_information.data == nullptr || descriptor.type_mapping.data == nullptr)
    return std::nullopt;
  ddsi_sertype_cdr_data_t infoData{descriptor.type_information.sz,
                                   const_cast<uint8_t*>(descriptor.type_information.data)};
  ddsi_sertype_cdr_data_t mapData{descriptor.type_mapping.sz,
                                  const_cast<uint8_t*>(descriptor.type_mapping.data)};
  ddsi_typeinfo_t* info = ddsi_typeinfo_deser(&infoData);
  ddsi_typemap_t* map = ddsi_typemap_deser(&mapData);
  std::optional<TypeShape> shape;
  if (info != nullptr && map != nullptr) {
    const ddsi_typeid_t* complete = ddsi_typeinfo_complete_typeid(info);
    const auto& pairs = map->x.identifier_object_pair_complete;
    for (uint32_t i = 0; i < pairs._length && !shape; ++i) {
      if (ddsi_typeid_compare(complete, reinterpret_cast<const ddsi_typeid_t*>(
                                            &pairs._buffer[i].type_identifier)) == 0) {
        shape = shapeOf(reinterpret_cast<const dds_typeobj_t*>(&pairs._buffer[i].type_object));
      }
    }
  }
  if (info != nullptr) {
    ddsi_typeinfo_fini(info);
    dds_free(info);
  }
  if (map != nullptr) {
    ddsi_typemap_fini(map);
    dds_free(map);
  }
  return shape;
}

std::optional<TypeShape> fetchShape(dds_entity_t entity, const dds_typeinfo_t* info,
                                    dds_duration_t timeout) {
  if (info == nullptr || !ddsi_typeinfo_present(info)) return std::nullopt;
  const ddsi_typeid_t* complete = ddsi_typeinfo_complete_typeid(info);
  if (complete == nullptr) return std::nullopt;
  dds_typeobj_t* object = nullptr;
  if (dds_get_typeobj(entity, complete, timeout, &object) != DDS_RETCODE_OK || object == nullptr)
    return std::nullopt;
  std::optional<TypeShape> shape = shapeOf(object);
  (void)dds_free_typeobj(object);
  return shape;
}

std::optional<TypeDifference> compareShapes(const TypeShape& sdk, const TypeShape& controller) {
  std::vector<std::string> differences;
  const auto find = [](const TypeShape& shape, const std::string& name) {
    return std::find_if(shape.members.begin(), shape.members.end(),
                        [&](const TypeShape::Member& m) { return m.name == name; });
  };
  for (const auto& m : sdk.members) {
    const auto theirs = find(controller, m.name);
    if (theirs == controller.members.end()) {
      differences.push_back("it lacks member " + m.name + " (" + m.type + ")");
    } else if (theirs->type != m.type) {
      differences.push_back("member " + m.name + " is " + theirs->type + " where the SDK's is " +
                            m.type);
    }
  }
  for (const auto& m : controller.members) {
    if (find(sdk, m.name) == sdk.members.end())
      differences.push_back("it has member " + m.name + " (" + m.type + "), which the SDK's lacks");
  }
  if (differences.empty()) {
    std::vector<std::string> ours, theirs;
    for (const auto& m : sdk.members) ours.push_back(m.name);
    for (const auto& m : controller.members) theirs.push_back(m.name);
    if (ours != theirs) differences.push_back("its members are in another order");
  }
  const bool extensibility = sdk.extensibility != controller.extensibility;
  if (!extensibility && differences.empty()) return std::nullopt;
  TypeDifference d;
  d.extensibilityOnly = extensibility && differences.empty();
  if (extensibility) {
    differences.insert(differences.begin(),
                       "it is " + controller.extensibility + " where the SDK's is " +
                           sdk.extensibility);
  }
  for (const auto& item : differences) d.text += (d.text.empty() ? "" : ", ") + item;
  return d;
}

}  // namespace doctor
