#include "doctor/scan.hpp"

#include <dds/dds.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "ros2/entity.hpp"

namespace doctor {
namespace {

// Enough processes that each watches a few hundred sockets, few enough not to crowd a small
// computer.
constexpr unsigned kWorkers = 4;

std::string guidText(const dds_guid_t& guid) { return ros2::hex(guid.v, sizeof guid.v); }

std::string property(const dds_qos_t* qos, const char* name) {
  char* value = nullptr;
  if (qos == nullptr || !dds_qget_prop(qos, name, &value) || value == nullptr) return "";
  std::string text(value);
  dds_free(value);
  return text;
}

// Takes everything a built-in reader holds and hands each sample to `visit`.
template <class Visit>
void takeAll(dds_entity_t reader, Visit visit) {
  constexpr int32_t batch = 64;
  for (;;) {
    void* samples[batch] = {};
    dds_sample_info_t infos[batch];
    const dds_return_t n =
        dds_take_mask(reader, samples, infos, batch, batch,
                      DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ALIVE_INSTANCE_STATE);
    if (n <= 0) return;
    for (int32_t i = 0; i < n; ++i) {
      if (infos[i].valid_data && samples[i] != nullptr) visit(samples[i]);
    }
    (void)dds_return_loan(reader, samples, n);
    if (n < batch) return;
  }
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// One worker: a participant on each of its domains, all listening at once. Reports one line
// per finding: "P domain guid name", "E domain guid side topic", "F domain reason".
[[noreturn]] void worker(int fd, const std::vector<uint32_t>& domains, const Expectations& expected,
                         double listenSeconds) {
  struct Joined {
    uint32_t domain;
    std::string guid;
    dds_entity_t participants, publications, subscriptions;
  };
  std::vector<Joined> joined;
  std::string out;
  for (const uint32_t domain : domains) {
    const dds_entity_t p = dds_create_participant(domain, nullptr, nullptr);
    dds_guid_t guid;
    if (p < 0 || dds_get_guid(p, &guid) != DDS_RETCODE_OK) {
      out += "F " + std::to_string(domain) + " " + dds_strretcode(p) + "\n";
      continue;
    }
    joined.push_back({domain, guidText(guid),
                      dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, nullptr, nullptr),
                      dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr),
                      dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, nullptr)});
  }
  dds_sleepfor(static_cast<dds_duration_t>(listenSeconds * 1e9));
  std::map<std::string, Side> sdkSide;
  for (const auto& e : expected.topics) sdkSide[e.topic] = e.sdkSide;
  for (const auto& j : joined) {
    const std::string d = std::to_string(j.domain);
    takeAll(j.participants, [&](const void* sample) {
      const auto* s = static_cast<const dds_builtintopic_participant_t*>(sample);
      const std::string guid = ros2::hex(s->key.v, sizeof s->key.v);
      if (guid == j.guid) return;
      std::string name = property(s->qos, "__ProcessName");
      const std::string pid = property(s->qos, "__Pid");
      if (!name.empty() && !pid.empty()) name += " (pid " + pid + ")";
      out += "P " + d + " " + guid + " " + name + "\n";
    });
    for (const dds_entity_t reader : {j.publications, j.subscriptions}) {
      const Side side = reader == j.publications ? Side::Writer : Side::Reader;
      takeAll(reader, [&](const void* sample) {
        const auto* s = static_cast<const dds_builtintopic_endpoint_t*>(sample);
        const std::string topic = s->topic_name != nullptr ? s->topic_name : "";
        if (sdkSide.count(topic) == 0) return;
        out += "E " + d + " " + ros2::hex(s->participant_key.v, sizeof s->participant_key.v) +
               (side == sdkSide[topic] ? " sdk " : " controller ") + topic + "\n";
      });
    }
  }
  writeAll(fd, out);
  ::close(fd);
  // Leaving cleanly tells the peers at once that these participants are gone.
  (void)dds_delete(DDS_CYCLONEDDS_HANDLE);
  std::fflush(nullptr);
  _exit(0);
}

void addUnique(std::vector<std::string>& items, const std::string& item) {
  if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
}

std::string domainList(const std::vector<uint32_t>& domains) {
  std::string text;
  for (size_t i = 0; i < domains.size(); ++i) {
    if (i > 0) text += i + 1 == domains.size() ? " and " : ", ";
    text += std::to_string(domains[i]);
  }
  return text;
}

std::vector<uint32_t> controllerDomains(const ScanResult& scan) {
  std::vector<uint32_t> out;
  for (const auto& d : scan.domains) {
    if (!d.controllerTopics.empty()) out.push_back(d.domain);
  }
  return out;
}

}  // namespace

ScanResult scanDomains(const Expectations& expected, double listenSeconds) {
  const auto start = std::chrono::steady_clock::now();
  ScanResult result;
  struct Worker {
    pid_t pid;
    int fd;
    std::string text;
    bool done = false;
  };
  std::vector<Worker> workers;
  std::fflush(nullptr);
  for (unsigned w = 0; w < kWorkers; ++w) {
    std::vector<uint32_t> domains;
    for (uint32_t d = w; d <= kLastDomainId; d += kWorkers) domains.push_back(d);
    int fds[2];
    if (::pipe(fds) != 0) {
      result.failures.push_back("pipe: " + std::string(std::strerror(errno)));
      continue;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      // The worker outlives the report while it leaves its domains; it must not hold the
      // caller's output open meanwhile.
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) {
        (void)::dup2(null, STDOUT_FILENO);
        (void)::dup2(null, STDERR_FILENO);
        ::close(null);
      }
      ::close(fds[0]);
      for (const auto& other : workers) ::close(other.fd);
      worker(fds[1], domains, expected, listenSeconds);
    }
    ::close(fds[1]);
    if (pid < 0) {
      ::close(fds[0]);
      result.failures.push_back("fork: " + std::string(std::strerror(errno)));
      continue;
    }
    workers.push_back({pid, fds[0], {}});
  }
  // Joining takes a while on a busy computer; a worker that has not answered long after its
  // listening time is stuck, and the scan reports without it.
  const auto deadline = start + std::chrono::milliseconds(static_cast<int>(listenSeconds * 1000) + 15000);
  for (;;) {
    std::vector<pollfd> polls;
    for (const auto& w : workers) {
      if (!w.done) polls.push_back({w.fd, POLLIN, 0});
    }
    if (polls.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || ::poll(polls.data(), polls.size(), static_cast<int>(left)) <= 0) break;
    for (auto& w : workers) {
      if (w.done) continue;
      pollfd probe{w.fd, POLLIN, 0};
      if (::poll(&probe, 1, 0) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(w.fd, buffer, sizeof buffer);
      if (n > 0) {
        w.text.append(buffer, static_cast<size_t>(n));
      } else {
        w.done = true;
      }
    }
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::map<uint32_t, DomainPresence> found;
  std::map<uint32_t, std::map<std::string, std::string>> names;
  std::map<uint32_t, std::set<std::string>> controllerGuids;
  for (auto& w : workers) {
    if (!w.done) {
      result.failures.push_back("a worker did not answer in time");
      ::kill(w.pid, SIGKILL);
    }
    ::close(w.fd);
    std::istringstream in(w.text);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind, guid, rest;
      uint32_t domain = 0;
      fields >> kind >> domain;
      if (kind == "F") {
        std::getline(fields >> std::ws, rest);
        result.failures.push_back("domain " + std::to_string(domain) + ": " + rest);
        continue;
      }
      fields >> guid;
      std::getline(fields >> std::ws, rest);
      if (kind == "P") {
        names[domain][guid] = rest.empty() ? "participant " + guid : rest;
      } else if (kind == "E") {
        std::string side, topic;
        std::istringstream(rest) >> side >> topic;
        DomainPresence& d = found[domain];
        d.domain = domain;
        if (side == "controller") {
          addUnique(d.controllerTopics, topic);
          controllerGuids[domain].insert(guid);
        } else {
          addUnique(d.sdkTopics, topic);
        }
      }
    }
  }
  for (auto& [domain, d] : found) {
    d.participants = names[domain].size();
    for (const auto& guid : controllerGuids[domain]) {
      const auto it = names[domain].find(guid);
      addUnique(d.controllerNames, it != names[domain].end() ? it->second : "participant " + guid);
    }
    // In catalogue order, as everywhere else in the report.
    const auto order = [&](std::vector<std::string>& topics) {
      std::vector<std::string> sorted;
      for (const auto& e : expected.topics) {
        if (std::find(topics.begin(), topics.end(), e.topic) != topics.end())
          sorted.push_back(e.topic);
      }
      topics = sorted;
    };
    order(d.controllerTopics);
    order(d.sdkTopics);
    result.domains.push_back(d);
  }
  return result;
}

std::vector<Problem> scanProblems(const ScanResult& scan, uint32_t ownDomain,
                                  double listenSeconds) {
  const std::vector<uint32_t> domains = controllerDomains(scan);
  if (std::find(domains.begin(), domains.end(), ownDomain) != domains.end()) return {};
  if (domains.empty()) {
    std::ostringstream s;
    s << "No controller on any DDS domain from 0 to " << kLastDomainId << " within "
      << listenSeconds
      << " s: the controller program is not running, or it cannot be reached (the network "
         "interface in CYCLONEDDS_URI, multicast, a firewall).";
    return {{"controller_not_found", s.str()}};
  }
  const std::string where = domains.size() == 1
                                ? "The controller is on DDS domain " + domainList(domains)
                                : "The controller's topics are on DDS domains " + domainList(domains);
  const std::string first = std::to_string(domains.front());
  return {{"controller_on_other_domain",
           where + "; this program uses " + std::to_string(ownDomain) +
               ": pass dds_domain_id=" + first + " to Robot and Joystick (and --domain " + first +
               " to tarvek-doctor)."}};
}

std::string scanText(const ScanResult& scan, uint32_t ownDomain,
                     const std::vector<Problem>& problems) {
  std::ostringstream out;
  out << "DDS domains 0 to " << kLastDomainId << " scanned in " << scan.seconds << " s\n";
  if (scan.domains.empty()) out << "  (none of the six topics anywhere)\n";
  for (const auto& d : scan.domains) {
    out << "  domain " << d.domain << ": ";
    if (!d.controllerTopics.empty()) {
      out << "the controller's side of " << d.controllerTopics.size() << " of the six topics on ";
      for (size_t i = 0; i < d.controllerNames.size(); ++i)
        out << (i ? ", " : "") << d.controllerNames[i];
      if (!d.sdkTopics.empty()) out << "; an SDK program's endpoints as well";
    } else {
      out << "only an SDK program's endpoints (" << d.sdkTopics.size() << " of the six topics)";
    }
    out << "\n";
  }
  // A configuration Cyclone refuses fails every domain alike: a few lines say it.
  for (size_t i = 0; i < scan.failures.size() && i < 3; ++i)
    out << "  not scanned: " << scan.failures[i] << "\n";
  if (scan.failures.size() > 3)
    out << "  not scanned: " << scan.failures.size() - 3 << " more\n";
  out << "\n";
  if (problems.empty()) {
    out << "The controller is on DDS domain " << ownDomain << ", the one this program uses.\n";
  } else {
    for (const auto& p : problems) out << p.sentence << "\n";
  }
  return out.str();
}

nlohmann::json scanJson(const ScanResult& scan, uint32_t ownDomain,
                        const std::vector<Problem>& problems) {
  nlohmann::json domains = nlohmann::json::array();
  for (const auto& d : scan.domains) {
    domains.push_back({{"domain", d.domain},
                       {"controller_topics", d.controllerTopics},
                       {"sdk_topics", d.sdkTopics},
                       {"controllers", d.controllerNames},
                       {"participants", d.participants}});
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& p : problems) list.push_back({{"code", p.code}, {"sentence", p.sentence}});
  const std::vector<uint32_t> where = controllerDomains(scan);
  return {{"dds_domain", ownDomain},
          {"scan", {{"seconds", scan.seconds}, {"domains", domains}, {"failures", scan.failures}}},
          {"controller_domains", where},
          {"problems", list}};
}

}  // namespace doctor
