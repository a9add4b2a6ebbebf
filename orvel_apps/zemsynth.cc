// zemsynth.cc: the service's synthesis request handler.
#include <cstdio>
#include <memory>

#include "Zem.h"
#include "http/refusal.h"
#include "orvel/Msg.h"
#include "service_config.h"
#include "service_parts.h"
#include "synthesizer.h"

const char* DAstr = "";

// ---- Request handler --------------------------------------------------------

Msg* RecvCallback(Msg* request) {
  if (request == nullptr) {
    printf("Not getting the right request!\n");
    orvel::http::SetRefusalReason("no request");
    return nullptr;
  }
  const orvel::zem::ServiceConfig config = orvel::zem::CurrentServiceConfig();
  orvel::zem::SlpProxyDirectory directory(config.da_addr, config.scope);
  orvel::zem::ServiceProxyControl control;
  orvel::zem::ServiceObserver observer(/*log_requests=*/true);
  orvel::zem::Synthesizer synth(config, &directory, &control, &observer);
  orvel::zem::SynthesisReport report;
  std::unique_ptr<Msg> reply = synth.Synthesize(*request, &report);
  if (!reply) orvel::http::SetRefusalReason(report.status.ToString());
  // Ownership passes to the server, which deletes the reply after sending.
  return reply.release();
}
