// msg_bench: the message library's cost over bare libxml2.
//
// Parsing: xmlReadMemory plus the SynthZemReq document constructor against
// xmlReadMemory alone, on the same bytes.  Building: the SynthZemReq build
// constructor plus getChars against building the same tree with libxml2 calls
// and dumping it.  After the runs the ratios are printed; run with
// --benchmark_repetitions=N to take the fastest of N.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "orvel/Msg.h"

namespace {

constexpr int kParseOptions = XML_PARSE_NONET;

std::vector<EndPoint> Hosts(int n) {
  std::vector<EndPoint> eps;
  eps.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    eps.emplace_back(htonl(0x0a000000u + static_cast<uint32_t>(i)));
  }
  return eps;
}

std::string RequestText(int n) {
  SynthZemReq req(5, 7, Hosts(n), {});
  char* text = req.getChars();
  std::string out(text);
  free(text);
  return out;
}

void BM_ParseConstruct(benchmark::State& state) {
  std::string text = RequestText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    xmlDocPtr doc =
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions);
    SynthZemReq req(doc);
    benchmark::DoNotOptimize(req.getEPVec().data());
  }
}

void BM_BareParse(benchmark::State& state) {
  std::string text = RequestText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    xmlDocPtr doc =
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
  }
}

void BM_BuildDump(benchmark::State& state) {
  std::vector<EndPoint> eps = Hosts(static_cast<int>(state.range(0)));
  std::vector<EndZone> zones;
  for (auto _ : state) {
    SynthZemReq req(5, 7, eps, zones);
    char* text = req.getChars();
    benchmark::DoNotOptimize(text);
    free(text);
  }
}

void BM_BareBuildDump(benchmark::State& state) {
  std::vector<EndPoint> eps = Hosts(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr root = xmlNewDocNode(doc, nullptr, BAD_CAST "SynthZemReq", nullptr);
    xmlDocSetRootElement(doc, root);
    xmlNewChild(root, nullptr, BAD_CAST "id", BAD_CAST "5");
    xmlNewChild(root, nullptr, BAD_CAST "version", BAD_CAST "7");
    xmlNodePtr list = xmlNewChild(root, nullptr, BAD_CAST "endpointlist", nullptr);
    char num[16];
    std::snprintf(num, sizeof(num), "%d", static_cast<int>(eps.size()));
    xmlNewProp(list, BAD_CAST "num", BAD_CAST num);
    for (const EndPoint& ep : eps) {
      struct in_addr in;
      in.s_addr = static_cast<in_addr_t>(ep.getAddr());
      char buf[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &in, buf, sizeof(buf));
      xmlNewChild(list, nullptr, BAD_CAST "endpoint", BAD_CAST buf);
    }
    xmlNewChild(root, nullptr, BAD_CAST "zonelist", nullptr);
    xmlSetProp(root->last, BAD_CAST "num", BAD_CAST "0");
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &text, &size);
    benchmark::DoNotOptimize(text);
    xmlFree(text);
    xmlFreeDoc(doc);
  }
}

BENCHMARK(BM_ParseConstruct)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_BareParse)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_BuildDump)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_BareBuildDump)->Arg(1)->Arg(100)->Arg(10000);

// Console output as usual, plus each run's time kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        // The fastest repetition's CPU time: the machine is shared, and
        // waiting for a core says nothing about the code.
        double t = run.GetAdjustedCPUTime();
        auto it = times_ns_.find(run.benchmark_name());
        if (it == times_ns_.end() || t < it->second) {
          times_ns_[run.benchmark_name()] = t;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nOverhead over bare libxml2 (CPU time ratio, fastest repetition):\n");
    for (const char* n : {"1", "100", "10000"}) {
      std::printf(
          "  hosts %-5s  parse+construct / parse: %.3f   "
          "build+getChars / build+dump: %.3f\n",
          n, Ratio("BM_ParseConstruct/", "BM_BareParse/", n),
          Ratio("BM_BuildDump/", "BM_BareBuildDump/", n));
    }
  }

 private:
  double Ratio(const std::string& ours, const std::string& bare, const std::string& n) const {
    auto a = times_ns_.find(ours + n);
    auto b = times_ns_.find(bare + n);
    if (a == times_ns_.end() || b == times_ns_.end() || b->second == 0) {
      return 0.0;
    }
    return a->second / b->second;
  }

  std::map<std::string, double> times_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  xmlInitParser();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  xmlCleanupParser();
  return 0;
}
