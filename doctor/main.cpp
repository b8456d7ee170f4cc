// tarvek-doctor: why does the SDK not reach the controller? Joins the DDS and ROS 2
// domains as an observer (readers of the built-in discovery topics; the only thing it
// sends the controller is five observation requests, to time their acknowledgement, so it
// can never switch the robot into user mode or move it), and compares what it discovers
// with what the SDK creates.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "doctor/diagnosis.hpp"
#include "doctor/probe.hpp"
#include "doctor/report.hpp"
#include "doctor/scan.hpp"
#include "doctor/security.hpp"
#include "ros2/context.hpp"

int main(int argc, char** argv) {
  CLI::App app{
      "Diagnoses the connection to the robot's controller without acting on the robot: shows the\n"
      "Cyclone DDS configuration in effect, the runtime state file a Joystick would read, and\n"
      "listens on the DDS domain of the six topics and the ROS 2 domain of the configuration\n"
      "service for the controller's endpoints, saying for each whether the SDK's would match it\n"
      "and, where not, what differs; then times the controller's acknowledgement of five\n"
      "observation requests.\n"
      "Exit status: 0 when the controller and the service look usable, 1 otherwise, 2 for\n"
      "invalid arguments.",
      "tarvek-doctor"};
  int ddsDomain = 1;
  std::optional<int> rosDomainOption;
  double listenSeconds = 3.0;
  bool asJson = false;
  bool scan = false;
  bool noAckProbe = false;
  app.add_option("--domain", ddsDomain,
                 "DDS domain of the six topics (default 1, as Robot and Joystick)")
      ->check(CLI::Range(0, 232));
  app.add_option("--ros-domain", rosDomainOption,
                 "ROS 2 domain of the configuration service (default: ROS_DOMAIN_ID, else 0)")
      ->check(CLI::Range(0, 232));
  app.add_option("--listen", listenSeconds,
                 "Seconds to listen for participants and endpoints (default 3)")
      ->check(CLI::Range(0.1, 60.0));
  app.add_flag("--json", asJson, "Print one JSON object instead of the text report");
  app.add_flag("--scan-domains", scan,
               "Only look for the six topics on every DDS domain 0 to 232 at once (listening 1 s "
               "unless --listen says otherwise) and say where the controller is");
  app.add_flag("--no-ack-probe", noAckProbe,
               "Do not time the controller's acknowledgements (which writes five observation "
               "requests: the controller answers them with observations, nothing else)");
  app.footer(
      "Environment: CYCLONEDDS_URI (the Cyclone configuration; only a trace of it is added),\n"
      "ROS_DOMAIN_ID, and TMPDIR, TMP, TEMP, TEMPDIR (where the runtime state file is looked "
      "for).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (scan) {
    // Before anything else touches DDS: the scan forks its workers.
    const double seconds = app.count("--listen") != 0 ? listenSeconds : 1.0;
    const doctor::ScanResult found = doctor::scanDomains(doctor::sdkExpectations(), seconds);
    const auto problems = doctor::scanProblems(found, static_cast<uint32_t>(ddsDomain), seconds);
    if (asJson) {
      std::cout << doctor::scanJson(found, static_cast<uint32_t>(ddsDomain), problems).dump(2)
                << std::endl;
    } else {
      std::cout << doctor::scanText(found, static_cast<uint32_t>(ddsDomain), problems)
                << std::flush;
    }
    return problems.empty() ? 0 : 1;
  }

  doctor::Report report;
  report.ddsDomain = static_cast<uint32_t>(ddsDomain);
  report.listenSeconds = listenSeconds;
  const char* uri = std::getenv("CYCLONEDDS_URI");
  report.cycloneUri = uri != nullptr ? uri : "";
  const char* rosDomainText = std::getenv("ROS_DOMAIN_ID");
  if (rosDomainOption) {
    report.rosDomain = static_cast<uint32_t>(*rosDomainOption);
  } else {
    try {
      report.rosDomain = ros2::parseDomainId(rosDomainText);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarvek-doctor: %s; pass --ros-domain\n", e.what());
      return 2;
    }
    if (report.rosDomain > 232) {
      std::fprintf(stderr, "tarvek-doctor: ROS_DOMAIN_ID %u is beyond 232; pass --ros-domain\n",
                   report.rosDomain);
      return 2;
    }
  }
  // Joystick(ros2_domain_id=0) writes its argument into ROS_DOMAIN_ID: the variable alone
  // does not move a Joystick to another domain.
  if (report.rosDomain != 0 && !rosDomainOption) {
    report.notes.push_back("ROS_DOMAIN_ID is " + std::to_string(report.rosDomain) +
                           ", but Joystick() joins ROS 2 domain 0 unless you pass ros2_domain_id=" +
                           std::to_string(report.rosDomain) + ".");
  }
  if (report.cycloneUri.empty()) {
    report.notes.push_back(
        "CYCLONEDDS_URI is not set: Cyclone picks an interface itself and discovers by "
        "multicast; on a computer with several networks, name the robot's interface.");
  }
  report.runtimeState = doctor::inspectRuntimeStateOf(ddsDomain);

  // Cyclone's own words on security failures, which the discovery data cannot show.
  doctor::CycloneLog cycloneLog;
  try {
    const doctor::Expectations expected = doctor::sdkExpectations();
    report.serviceName = expected.serviceName;
    report.probe = doctor::probeDomains(expected, report.ddsDomain, report.rosDomain,
                                        listenSeconds, !noAckProbe);
    report.diagnosis =
        doctor::diagnose(expected, report.probe.dds, report.probe.ros, listenSeconds);
    const auto slow = doctor::ackProblems(report.probe.acks);
    report.diagnosis.problems.insert(report.diagnosis.problems.end(), slow.begin(), slow.end());
  } catch (const std::exception& e) {
    std::string sentence = std::string("Cyclone DDS could not join the domains (") + e.what() +
                           "; Cyclone's own message on standard error says why): check the "
                           "configuration that CYCLONEDDS_URI names.";
    const std::optional<doctor::Problem> refused = doctor::participantRefusal(cycloneLog.messages());
    if (refused) sentence = refused->sentence;
    if (asJson) {
      nlohmann::json out{{"error", sentence}, {"controller_usable", false}, {"service_usable", false}};
      if (refused) out["problems"] = {{{"code", refused->code}, {"sentence", refused->sentence}}};
      std::cout << out.dump(2) << std::endl;
    } else {
      std::fprintf(stderr, "tarvek-doctor: %s\n", sentence.c_str());
    }
    return 1;
  }
  const bool secured = !report.probe.security.empty() && report.probe.security.front().configured;
  if (secured) {
    report.notes.push_back("This program's configuration secures its participants with the identity in " +
                           report.probe.security.front().identityCertificate + ".");
  }
  // Access control judges the SDK's endpoints only once the probe's domains are gone.
  const std::string refusal = secured ? doctor::sdkEndpointRefusal(report.ddsDomain) : std::string();
  doctor::addSecurityProblems(report.diagnosis, report.probe.security, report.probe.dds,
                              report.probe.ros, cycloneLog, refusal, listenSeconds);

  if (asJson) {
    std::cout << doctor::toJson(report).dump(2) << std::endl;
  } else {
    std::cout << doctor::toText(report) << std::flush;
  }
  return report.usable() ? 0 : 1;
}
