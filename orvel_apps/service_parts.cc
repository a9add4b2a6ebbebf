// service_parts.cc: the Synthesizer's real parts.
#include "service_parts.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"
#include "http/client.h"
#include "log.h"
#include "orvel/SLP.h"
#include "zem_stats.h"

namespace orvel::zem {
namespace {

// The load wait is waited in kLoadWaits steps; tests set the step itself.
constexpr int kLoadWaits = 50;
std::atomic<long long> load_wait_step_usec{-1};

std::string HostPredicate(const std::string& addr, const std::string& mask) {
  return "(&(addr=" + addr + ")(mask=" + mask + "))";
}

// Asks for the computing node nearest the coordinates.
std::string NearestNodePredicate(const std::string& coords) {
  return "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=" + coords + ")))";
}

}  // namespace

// ---- Directory ----------------------------------------------------------------

// Found only when the search succeeded, counted answers and handed them
// over; the first answer as delivered.
Status SlpProxyDirectory::Find(const std::string& srvtype, const std::string& predicate,
                               ServiceInstance* found) {
  SLPService service(srvtype, predicate, da_addr_, scope_);
  if (service.FindServices() < 0) {
    // The reason and the agent, so that a failure is not mistaken for
    // "no proxy registered".
    const std::string& agent = service.agentAddress();
    char line[512];
    std::snprintf(line, sizeof line, "SLP lookup of %s failed at agent %s: %s (%d)",
                  srvtype.c_str(), agent.empty() ? "(none)" : agent.c_str(),
                  SLPErrorText(service.lastError()), static_cast<int>(service.lastError()));
    return Status::Unavailable(line);
  }
  std::vector<ServiceInstance> sivec;
  if (service.numFound() <= 0 || service.getSIvec(sivec) <= 0)
    return Status::NotFound("no " + srvtype + " found");
  *found = sivec[0];
  return Status::OK();
}

Status SlpProxyDirectory::FindRegistered(const std::string& addr, const std::string& mask,
                                         ServiceInstance* found) {
  return Find("ZemProxy", HostPredicate(addr, mask), found);
}

Status SlpProxyDirectory::FindNearest(const std::string& coords, ServiceInstance* found) {
  return Find("CompResource", NearestNodePredicate(coords), found);
}

std::string SlpProxyDirectory::Coordinates(unsigned long addr) { return getCoordinates(addr); }

// ---- Control ------------------------------------------------------------------

Status ServiceProxyControl::Exchange(const std::string& host, unsigned short port, Msg& request,
                                     std::unique_ptr<Msg>* reply) {
  return orvel::http::Exchange(host, port, request, reply);
}

// A line that is one simple command is run with "exec" in front, so the
// shell becomes the client and a signal that kills the client reaches us as
// such; a shell that waited for it would report exit status 128 + N, which
// a client may also return on its own.  A line with control operators (they
// can only come from the environment) runs as it stands.  Exit statuses
// other than the shell's 126 and 127 are the client's own business.
Status ServiceProxyControl::RunCommand(const std::string& command) {
  const bool simple = command.find_first_of(";&|()\n") == std::string::npos;
  const std::string line = simple ? "exec " + command : command;
  const int status = system(line.c_str());
  if (status == -1) return Status::FromErrno("system", errno);
  if (WIFSIGNALED(status))
    return Status::Refused("command ended by signal " + std::to_string(WTERMSIG(status)));
  if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
    return Status::Refused("command could not be run (status " +
                           std::to_string(WEXITSTATUS(status)) + ")");
  }
  return Status::OK();
}

void ServiceProxyControl::WaitForLoad(double seconds) {
  const long long forced = load_wait_step_usec.load();
  const useconds_t step = forced >= 0 ? static_cast<useconds_t>(forced)
                                      : static_cast<useconds_t>(seconds * 1e6 / kLoadWaits);
  for (int i = 0; i < kLoadWaits && step > 0; ++i) usleep(step);
}

void ServiceProxyControl::SetLoadWaitStepForTesting(unsigned int step_usec) {
  load_wait_step_usec = step_usec;
}

// ---- Observer -----------------------------------------------------------------

void ServiceObserver::Print(Stream stream, const std::string& text) {
  FILE* f = stream == Stream::kOut ? stdout : stderr;
  fputs(text.c_str(), f);
  fflush(f);
}

void ServiceObserver::Pause() { pressAnyKey(); }

bool ServiceObserver::PausesWait() {
  FILE* console = ins != nullptr ? ins : stdin;
  return isatty(fileno(console)) == 1;
}

void ServiceObserver::Colour(const std::string& node, int colour) { pelmmon_color(node, colour); }

void ServiceObserver::MemberLocated(bool zone, const TransportEndPoint& proxy) {
  CountMember(zone, proxy);
}

void ServiceObserver::StageDone(Stage stage, double seconds) { ObserveStage(stage, seconds); }

std::string RequestLogLine(const SynthesisReport& r) {
  char head[256];
  std::snprintf(head, sizeof head,
                "request type=%s id=%lu version=%lu peer=%s hosts=%zu zones=%zu outcome=%s "
                "duration_ms=%.1f",
                r.type.c_str(), r.id, r.version, r.peer.c_str(), r.hosts, r.zones,
                r.ok ? "ok" : "failed", r.seconds * 1e3);
  std::string line = head;
  if (!r.ok) line += " stage=" + r.stage + " reason=\"" + r.status.message() + "\"";
  return line;
}

void ServiceObserver::Finished(const SynthesisReport& report) {
  if (!log_requests_) return;
  if (!report.ok) CountFailure(report.stage, report.reason_label);
  orvel::cli::Log(report.ok ? orvel::cli::LogLevel::kInfo : orvel::cli::LogLevel::kWarning, "%s",
                  RequestLogLine(report).c_str());
}

}  // namespace orvel::zem
