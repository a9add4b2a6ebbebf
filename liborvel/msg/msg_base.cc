// The message base: type names, envelope, counters and the free utilities.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <ctime>

#include "msg/doc_reader.h"
#include "msg/doc_text.h"
#include "msg/doc_writer.h"
#include "net/address.h"
#include "orvel/Msg.h"

namespace {
std::atomic<MsgTraceHook> g_trace_hook{stdoutMsgTrace};
}  // namespace

void stdoutMsgTrace(const char* line) { std::fputs(line, stdout); }
void setMsgTraceHook(MsgTraceHook hook) { g_trace_hook.store(hook); }
MsgTraceHook getMsgTraceHook() { return g_trace_hook.load(); }

const std::string Msg::UNKNOWN = "Unknown";
const std::string Msg::SynthInit = "SynthInit";
const std::string Msg::SynthZemReq = "SynthZemReq";
const std::string Msg::SynthVGWReq = "SynthVGWReq";
const std::string Msg::SynthIPMZReq = "SynthIPMZReq";
const std::string Msg::ZemInit = "ZemInit";
const std::string Msg::ZemCommit = "ZemCommit";
const std::string Msg::DynamicInit = "DynamicInit";
const std::string Msg::SynthInitOk = "SynthInitOk";
const std::string Msg::SynthZemOk = "SynthZemOk";
const std::string Msg::SynthVGWOk = "SynthVGWOk";
const std::string Msg::SynthIPMZOk = "SynthIPMZOk";
const std::string Msg::ZemInitOk = "ZemInitOk";
const std::string Msg::ZemCommitOk = "ZemCommitOk";
const std::string Msg::DynamicInitResp = "DynamicInitResp";
const std::string Msg::PELMQueryReq = "PELMQueryReq";
const std::string Msg::PELMQueryResp = "PELMQueryResp";

std::atomic<unsigned long> Msg::sId{0};
std::atomic<unsigned long> Msg::sVersion{0};

Msg::Msg(const std::string& type, unsigned long id, unsigned long ver)
    : sock(-1),
      mId(id & 0xffffffffUL),
      mVersion(ver & 0xffffffffUL),
      mType(type),
      mDoc(orvel::msg::NewDocument()),
      mSrcAddress(0),
      mSrcPort(0),
      mValid(true) {}

Msg::Msg() : sock(-1), mId(0), mVersion(0), mSrcAddress(0), mSrcPort(0), mValid(true) {}

Msg::~Msg() = default;

void Msg::readEnvelopeOnly(const std::string& type, xmlDocPtr doc) {
  mType = type;
  mDoc.reset(doc);
  orvel::msg::DocReader r(doc);
  r.Envelope(&mId, &mVersion);
  mValid = r.ok();
}

xmlNodePtr Msg::writeEnvelope() {
  xmlNodePtr root = xmlNewDocNode(mDoc.get(), nullptr, BAD_CAST mType.c_str(), nullptr);
  xmlDocSetRootElement(mDoc.get(), root);
  orvel::msg::AddInt(root, "id", mId);
  orvel::msg::AddInt(root, "version", mVersion);
  return root;
}

namespace {

// The envelope element at position index (0: "id", 1: "version"), or null.
xmlNodePtr EnvelopeNode(xmlDocPtr doc, int index) {
  xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
  if (root == nullptr) return nullptr;
  xmlNodePtr node = orvel::msg::FirstPositional(root);
  for (int i = 0; i < index && node != nullptr; ++i) {
    node = orvel::msg::NextPositional(node);
  }
  return node;
}

void RewriteEnvelope(xmlDocPtr doc, int index, unsigned long value) {
  xmlNodePtr node = EnvelopeNode(doc, index);
  if (node == nullptr) return;
  xmlNodeSetContent(node, BAD_CAST orvel::msg::FormatInt(value).c_str());
}

}  // namespace

void Msg::setId(unsigned long id) {
  mId = id & 0xffffffffUL;
  RewriteEnvelope(mDoc.get(), 0, mId);
}

void Msg::setVersion(unsigned long ver) {
  mVersion = ver & 0xffffffffUL;
  RewriteEnvelope(mDoc.get(), 1, mVersion);
}

std::string Msg::getSrcAddrStr() const { return inet_NTOS(mSrcAddress); }

std::string Msg::getSrcPortStr() const { return ultostr(mSrcPort); }

char* Msg::getChars() const { return orvel::msg::DocumentText(mDoc.get(), nullptr); }

unsigned long Msg::generateId() {
  unsigned long cur = sId.load();
  for (;;) {
    unsigned long next = cur == 0 ? static_cast<unsigned long>(time(nullptr)) & 0xffffffffUL
                                  : (cur + 1) & 0xffffffffUL;
    if (sId.compare_exchange_weak(cur, next)) return next;
  }
}

unsigned long Msg::generateVersion() {
  unsigned long cur = sVersion.load();
  for (;;) {
    unsigned long next;
    if (cur == 0) {
      next = sId.load();
      if (next == 0) return 0;  // no id yet: the sequence has not started
    } else {
      next = (cur + 1) & 0xffffffffUL;
    }
    if (sVersion.compare_exchange_weak(cur, next)) return next;
  }
}

// The address texts are net's, the one reader of them in the library.
unsigned long inet_ADDR(const char* text) { return orvel::net::AddressFromText(text); }

std::string inet_NTOS(unsigned long addr) {
  return orvel::net::AddressText(static_cast<uint32_t>(addr & 0xffffffffUL));
}

std::string ultostr(unsigned long value) {
  char buf[24];  // holds any 64-bit value
  std::snprintf(buf, sizeof(buf), "%lu", value);
  return buf;
}

int mask2int(unsigned long mask) {
  uint32_t m = ntohl(static_cast<uint32_t>(mask & 0xffffffffUL));
  int zeros = 0;
  while (zeros < 32 && (m & (1U << zeros)) == 0) ++zeros;
  return 32 - zeros;
}
