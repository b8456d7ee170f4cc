#pragma once
// Endpoints Cyclone discarded: a peer whose endpoint announcements Cyclone cannot read shows
// up as a participant with nothing on it. Cyclone says why only in its log, so the probe
// reads the warnings in its trace back.
#include <string>
#include <vector>

#include "doctor/diagnosis.hpp"

namespace doctor {

// The announcements Cyclone rejected in a trace written with the warning category.
std::vector<DiscardedAnnouncement> readDiscarded(const std::string& tracePath);

// The sentences for participants of another DDS implementation that show no endpoint.
std::vector<Problem> discardedProblems(const DomainSnapshot& snapshot);

}  // namespace doctor
