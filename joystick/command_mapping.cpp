#include "joystick/command_mapping.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace joystick {

const std::array<const char*, kKeyCount> kCanonicalKeys = {
    "left_x", "left_y", "right_x", "right_y", "dpad_x", "dpad_y", "left_btn", "right_btn"};

const std::array<const char*, kKeyCount> kDefaultKeyOrder = {
    "left_y", "right_x", "left_x", "right_y", "dpad_x", "dpad_y", "left_btn", "right_btn"};

namespace {

// Default bounds in canonical key order.
constexpr std::array<std::pair<float, float>, kKeyCount> kDefaultBounds = {{
    {-1.0f, 1.0f}, {-0.5f, 0.5f}, {-1.5f, 1.5f}, {-1.0f, 1.0f},
    {-1.0f, 1.0f}, {-1.0f, 1.0f}, {0.0f, 1.0f}, {0.0f, 1.0f},
}};

void checkStep(double step, const char* name) {
  if (!std::isfinite(step) || step < 0.0) {
    throw std::runtime_error(std::string("cmd_range has invalid value: ") + name);
  }
}

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0 when it is not one: overlong
// forms, surrogates and code points beyond U+10FFFF count as malformed, as for Python.
size_t utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return len;
}

}  // namespace

std::string printableKey(const std::string& key) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(key.size());
  for (size_t i = 0; i < key.size();) {
    const size_t len = key[i] == '\0' ? 0 : utf8SequenceLength(key, i);
    if (len > 0) {
      out.append(key, i, len);
      i += len;
    } else {
      const auto b = static_cast<unsigned char>(key[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
    }
  }
  return out;
}

bool isCommandKey(const std::string& key) {
  return std::any_of(kCanonicalKeys.begin(), kCanonicalKeys.end(),
                     [&](const char* k) { return key == k; });
}

void checkCmdMapping(const std::vector<std::string>& mapping) {
  if (mapping.empty()) return;
  // Length first, so a long list of unknown words reads as too long, not as a bad key.
  if (mapping.size() > kKeyCount) {
    throw std::runtime_error("cmd_mapping is too long: expected at most " +
                             std::to_string(kKeyCount));
  }
  for (auto it = mapping.begin(); it != mapping.end(); ++it) {
    if (!isCommandKey(*it)) {
      throw std::runtime_error("cmd_mapping has invalid key: " + printableKey(*it));
    }
    if (std::find(mapping.begin(), it, *it) != it) {
      throw std::runtime_error("cmd_mapping keys must be unique");
    }
  }
}

void checkCmdRanges(const CommandRanges& ranges) {
  checkStep(ranges.dpad_step_x, "dpad_step_x");
  checkStep(ranges.dpad_step_y, "dpad_step_y");
  for (const auto& [key, bounds] : ranges.ranges) {
    const auto [low, high] = bounds;
    if (!std::isfinite(low) || !std::isfinite(high)) {
      throw std::runtime_error("cmd_range has non-finite range: " + key);
    }
    if (low > high) throw std::runtime_error("cmd_range has invalid range: " + key);
  }
}

std::vector<std::string> effectiveMapping(const std::vector<std::string>& mapping) {
  if (!mapping.empty()) return mapping;
  return {kDefaultKeyOrder.begin(), kDefaultKeyOrder.end()};
}

SlotMap assignSlots(const std::vector<std::string>& effective) {
  SlotMap slot_of;
  int32_t next = 0;
  for (const std::string& key : effective) slot_of[key] = next++;
  for (const char* key : kDefaultKeyOrder) {
    if (slot_of.emplace(key, next).second) ++next;
  }
  return slot_of;
}

void fillRangeTables(const SlotMap& slot_of, const CommandRanges& ranges, RangeTable& low,
                     RangeTable& high) {
  low.fill(0.0f);
  high.fill(0.0f);
  for (size_t i = 0; i < kKeyCount; ++i) {
    const auto slot = static_cast<size_t>(slot_of.at(kCanonicalKeys[i]));
    low[slot] = kDefaultBounds[i].first;
    high[slot] = kDefaultBounds[i].second;
  }
  for (const auto& [key, bounds] : ranges.ranges) {
    const auto slot = static_cast<size_t>(slot_of.at(key));
    // Finite doubles beyond the float range become infinities of the same sign.
    low[slot] = static_cast<float>(bounds.first);
    high[slot] = static_cast<float>(bounds.second);
  }
}

}  // namespace joystick
