// apps_util.h: the real peers of the synthesis service for its tests: a
// directory agent (orvel-slpd), registrations in it, and zemproxy
// instances, all on loopback.
#ifndef ORVEL_TESTS_APPS_APPS_UTIL_H_
#define ORVEL_TESTS_APPS_APPS_UTIL_H_

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvel/slp_api.h"
#include "testutil/process_util.h"

namespace apps_test {

using testutil::Child;

// A directory agent on its own loopback port.
struct DirectoryAgent {
  unsigned short port = 0;
  std::unique_ptr<Child> child;
  // The agent address as the service's command line takes it.
  std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

inline DirectoryAgent StartDirectoryAgent() {
  DirectoryAgent da;
  for (int attempt = 0; attempt < 5 && !da.child; ++attempt) {
    unsigned short port = testutil::FreeLoopbackPort();
    auto child = std::make_unique<Child>(
        std::vector<std::string>{testutil::BuildPath("tools/orvel-slpd/orvel-slpd"), "--listen",
                                 "127.0.0.1", "--port", std::to_string(port), "--verbose"});
    // The agent also listens on TCP, which tells that it is ready.
    if (testutil::WaitForLoopbackPort(port, 5000) && child->Running()) {
      da.port = port;
      da.child = std::move(child);
    }
  }
  EXPECT_TRUE(da.child) << "orvel-slpd did not start";
  return da;
}

inline void PointAt(const DirectoryAgent& da) {
  SLPSetProperty("net.slp.DAAddresses", da.Address().c_str());
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
}

inline void RegReport(SLPHandle, SLPError err, void* cookie) {
  *static_cast<SLPError*>(cookie) = err;
}

// Registers url with attrs ("(a=1),(b=2)") in the agent.
inline bool Register(const DirectoryAgent& da, const std::string& url, const std::string& attrs) {
  PointAt(da);
  SLPHandle h = nullptr;
  if (SLPOpen("en", SLP_FALSE, &h) != SLP_OK) return false;
  SLPError cb = SLP_OK;
  SLPError err = SLPReg(h, url.c_str(), 65535, "", attrs.c_str(), SLP_TRUE, RegReport, &cb);
  SLPClose(h);
  return err == SLP_OK && cb == SLP_OK;
}

inline SLPBoolean CollectURL(SLPHandle, const char* url, unsigned short, SLPError err,
                             void* cookie) {
  if (err == SLP_OK && url != nullptr)
    static_cast<std::vector<std::string>*>(cookie)->push_back(url);
  return SLP_TRUE;
}

// The URLs the agent answers, in the order it delivers them.
inline std::vector<std::string> Find(const DirectoryAgent& da, const std::string& type,
                                     const std::string& predicate) {
  PointAt(da);
  std::vector<std::string> urls;
  SLPHandle h = nullptr;
  if (SLPOpen("en", SLP_FALSE, &h) != SLP_OK) return urls;
  SLPFindSrvs(h, type.c_str(), "default", predicate.c_str(), CollectURL, &urls);
  SLPClose(h);
  return urls;
}

// A zemproxy on its own loopback port, optionally registered in an agent
// for an end host or zone.
struct ProxyProcess {
  unsigned short port = 0;
  std::unique_ptr<Child> child;
  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port); }
  std::vector<std::string> Received() const {
    std::vector<std::string> lines;
    std::string out = child ? child->Output() : "";
    size_t pos = 0;
    while ((pos = out.find("zemproxy: Zem", pos)) != std::string::npos) {
      size_t end = out.find('\n', pos);
      lines.push_back(out.substr(pos, end - pos));
      pos = end;
    }
    return lines;
  }
};

inline ProxyProcess StartProxy(const std::vector<std::string>& extra = {}) {
  ProxyProcess p;
  const bool registers = std::find(extra.begin(), extra.end(), "--da") != extra.end();
  for (int attempt = 0; attempt < 5 && !p.child; ++attempt) {
    unsigned short port = testutil::FreeLoopbackPort();
    std::vector<std::string> argv = {testutil::BuildPath("tools/zemproxy/zemproxy"), "--port",
                                     std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<Child>(argv);
    bool up = registers ? child->WaitForOutput("zemproxy: serving on port", 10000)
                        : testutil::WaitForLoopbackPort(port, 5000);
    if (up && child->Running()) {
      p.port = port;
      p.child = std::move(child);
    }
  }
  EXPECT_TRUE(p.child) << "zemproxy did not start";
  return p;
}

}  // namespace apps_test

#endif  // ORVEL_TESTS_APPS_APPS_UTIL_H_
