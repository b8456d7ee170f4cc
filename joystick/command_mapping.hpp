#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace joystick {

constexpr size_t kKeyCount = 8;

// The eight controls in canonical order (the order of the slot indices sent to the robot).
extern const std::array<const char*, kKeyCount> kCanonicalKeys;
// The order used when the user gives no mapping, and for the slots of unmapped keys.
extern const std::array<const char*, kKeyCount> kDefaultKeyOrder;

// The 32-bit float nearest 0.1, widened: the default d-pad step.
constexpr double kDefaultDpadStep = static_cast<double>(0.1f);

// The native form of the user's cmd_range; the map orders keys byte-wise ascending.
struct CommandRanges {
  std::map<std::string, std::pair<double, double>> ranges;
  double dpad_step_x = kDefaultDpadStep;
  double dpad_step_y = kDefaultDpadStep;
};

using SlotMap = std::map<std::string, int32_t>;
using RangeTable = std::array<float, kKeyCount>;

bool isCommandKey(const std::string& key);

// `key` as it can appear in a message: bytes that are not UTF-8, and NUL, written as \xNN.
// A key comes from the user and may hold anything, while a message must be text that the
// binding can hand to Python whole.
std::string printableKey(const std::string& key);

// Each throws std::runtime_error with the user-facing message of the first violation.
void checkCmdMapping(const std::vector<std::string>& mapping);
void checkCmdRanges(const CommandRanges& ranges);

// The user's mapping, or all eight keys in default order when it is empty.
std::vector<std::string> effectiveMapping(const std::vector<std::string>& mapping);
// Mapped keys take slots 0.. in mapping order, the others follow in default order.
SlotMap assignSlots(const std::vector<std::string>& effective);
// Default bounds per slot, overridden by the user's ranges (narrowed to 32-bit floats).
void fillRangeTables(const SlotMap& slot_of, const CommandRanges& ranges, RangeTable& low,
                     RangeTable& high);

}  // namespace joystick
