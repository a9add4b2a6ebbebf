// monitor.cc: the coordinate monitor client.
//
// The monitor is told to colour a node with one "NODE COLOUR\n" line over a
// short TCP connection to $ORVEL_PELMMONITOR ("ADDR", port 5646, or
// "ADDR:PORT").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/address.h"
#include "net/socket_io.h"
#include "orvel/SLP.h"
#include "pelm/coordinates_reader.h"
#include "pelm/settings.h"

namespace {
constexpr unsigned short kPelmMonitorPort = 5646;
}  // namespace

namespace orvel::pelm {

MonitorAddress ParseMonitorAddress(const std::string& text, uint32_t* addr, uint16_t* port) {
  net::HostPort hp;
  const bool port_ok = net::ParseHostPort(text, &hp);
  // The host is judged first, as inet_ADDR reads it.
  *addr = net::AddressFromText(hp.host.c_str());
  if (*addr == 0) return MonitorAddress::kBadAddress;
  if (!port_ok || (hp.has_port && hp.port == 0)) return MonitorAddress::kBadPort;
  *port = hp.has_port ? hp.port : kPelmMonitorPort;
  return MonitorAddress::kOk;
}

}  // namespace orvel::pelm

void pelmmon_color(const std::string& node, int colour) {
  const orvel::pelm::Settings settings = orvel::pelm::ReadSettings();
  const char* monitor = settings.monitor;
  if (monitor == nullptr) {
    printf("ORVEL_PELMMONITOR not set, returning now\n");
    return;
  }
  uint32_t monitor_addr = 0;
  uint16_t monitor_port = 0;
  switch (orvel::pelm::ParseMonitorAddress(monitor, &monitor_addr, &monitor_port)) {
    case orvel::pelm::MonitorAddress::kOk:
      break;
    case orvel::pelm::MonitorAddress::kBadAddress:
      // Address 0 would reach this host's own monitor port, not the monitor.
      printf("ORVEL_PELMMONITOR [%s] is not a dotted quad, nothing sent\n", monitor);
      return;
    case orvel::pelm::MonitorAddress::kBadPort:
      printf("ORVEL_PELMMONITOR [%s] has no valid port after the colon, nothing sent\n", monitor);
      return;
  }
  int timeout_ms = settings.monitor_timeout_ms;
  // One deadline for connecting and sending: a monitor that stops reading
  // must not hold the request either.
  orvel::net::Deadline deadline = orvel::net::Deadline::AfterMs(timeout_ms);
  int err = 0;
  const char* failed_call = "connect";
  orvel::net::UniqueFd sock =
      orvel::net::ConnectTcp(orvel::net::Ipv4(monitor_addr, monitor_port), deadline, &err,
                             /*nonblocking=*/false, &failed_call);
  if (!sock.valid()) {
    errno = err;
    perror(std::string(failed_call) == "socket" ? "pelmmon_color: socket:"
                                                : "pelmmon_color: connect:");
    return;
  }
  std::string line = node + " " + std::to_string(static_cast<unsigned long>(colour)) + "\n";
  // The monitor's answer (none) and a failed send change nothing for the
  // caller; the send never raises SIGPIPE.
  (void)orvel::net::WriteAll(sock.get(), line.data(), line.size(), deadline);
}
