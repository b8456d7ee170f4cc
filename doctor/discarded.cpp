#include "doctor/discarded.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

namespace doctor {
namespace {

std::string vendorText(const std::array<uint8_t, 2>& vendor) {
  const std::string name = vendorName(vendor);
  return name.empty() ? "vendor " + std::to_string(vendor[0]) + "." + std::to_string(vendor[1])
                      : name;
}

}  // namespace

std::vector<DiscardedAnnouncement> readDiscarded(const std::string& tracePath) {
  std::vector<DiscardedAnnouncement> out;
  std::ifstream in(tracePath);
  std::string line, reason;
  while (std::getline(in, line)) {
    // "invalid parameter list (vendor 1.15, version 2.3): pid 75 (TYPE_INFORMATION) invalid, ..."
    const auto pid = line.find("): pid ");
    if (line.find("invalid parameter list (vendor ") != std::string::npos && pid != std::string::npos) {
      const auto open = line.find('(', pid + 7);
      const auto close = open == std::string::npos ? open : line.find(')', open);
      if (close != std::string::npos) reason = line.substr(open + 1, close - open - 1);
      continue;
    }
    // "Invalid PublicationBuiltinTopicData (vendor 1.15): invalid qos/parameters"
    for (const auto& [word, side] : {std::pair{"Invalid PublicationBuiltinTopicData (vendor ", Side::Writer},
                                     std::pair{"Invalid SubscriptionBuiltinTopicData (vendor ", Side::Reader}}) {
      const auto at = line.find(word);
      if (at == std::string::npos) continue;
      unsigned major = 0, minor = 0;
      if (std::sscanf(line.c_str() + at + std::char_traits<char>::length(word), "%u.%u", &major,
                      &minor) != 2)
        continue;
      out.push_back({{static_cast<uint8_t>(major), static_cast<uint8_t>(minor)}, side, reason});
      reason.clear();
    }
  }
  return out;
}

std::vector<Problem> discardedProblems(const DomainSnapshot& snapshot) {
  std::vector<Problem> out;
  std::set<std::string> withEndpoints;
  for (const auto& e : snapshot.endpoints) withEndpoints.insert(e.participantGuid);
  const std::string domain = std::to_string(snapshot.domain);
  for (const auto& p : snapshot.participants) {
    // A Cyclone participant with nothing on it is an idle program (or another doctor).
    if (isCyclone(p.vendor) || withEndpoints.count(p.guid) != 0) continue;
    const std::string who = describeParticipant(snapshot.participants, p.guid) + " (" +
                            vendorText(p.vendor) + ")";
    size_t count = 0;
    bool typeInformation = false;
    for (const auto& d : snapshot.discarded) {
      if (d.vendor != p.vendor) continue;
      ++count;
      typeInformation = typeInformation || d.reason == "TYPE_INFORMATION";
    }
    const std::string fix =
        "generate the controller's types without type objects (no -typeobject) or switch their "
        "type information off (auto_fill_type_information and auto_fill_type_object false on "
        "its type supports), and the SDK can match its endpoints.";
    if (count > 0) {
      out.push_back({"endpoints_discarded",
                     who + " is on DDS domain " + domain + ", but Cyclone DDS discarded its " +
                         std::to_string(count) + " endpoint announcement(s)" +
                         (typeInformation ? " because it cannot read their TYPE_INFORMATION (the "
                                            "type information a controller built with type "
                                            "objects sends)"
                                          : " as invalid") +
                         ": " + fix});
    } else {
      out.push_back({"endpoints_discarded",
                     who + " is on DDS domain " + domain +
                         " with no endpoint at all: most probably Cyclone DDS discarded its "
                         "endpoint announcements, as it does when they carry type information it "
                         "cannot read (a controller built with type objects): " + fix});
    }
  }
  return out;
}

}  // namespace doctor
