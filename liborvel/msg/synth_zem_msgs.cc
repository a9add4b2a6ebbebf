// Multicast synthesis messages: SynthZemReq and SynthZemOk.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "msg/doc_reader.h"
#include "msg/doc_writer.h"
#include "orvel/Msg.h"

using orvel::msg::AddAddress;
using orvel::msg::AddInt;
using orvel::msg::AddList;
using orvel::msg::AddText;
using orvel::msg::Cursor;
using orvel::msg::DocReader;
using orvel::msg::NodeText;
using orvel::msg::ParseUnsigned;

namespace {

// The zone's "ep" travels as the four address bytes (network order) read as
// a little-endian signed integer; on a little-endian host that is the stored
// value itself, but spelling it out keeps the wire form on any host.
int32_t EpToWire(unsigned long ep) {
  uint32_t v = static_cast<uint32_t>(ep);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&v);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 |
                              static_cast<uint32_t>(b[3]) << 24);
}

unsigned long EpFromWire(uint32_t wire) {
  uint32_t v;
  unsigned char* b = reinterpret_cast<unsigned char*>(&v);
  b[0] = wire & 0xff;
  b[1] = (wire >> 8) & 0xff;
  b[2] = (wire >> 16) & 0xff;
  b[3] = (wire >> 24) & 0xff;
  return v;
}

// Formats one trace line and hands it to the hook; nothing when none is set.
__attribute__((format(printf, 1, 2))) void TraceLine(const char* fmt, ...) {
  MsgTraceHook hook = getMsgTraceHook();
  if (hook == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n >= 0) {
    std::string line(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&line[0], line.size(), fmt, again);
    line.resize(static_cast<size_t>(n));
    hook(line.c_str());
  }
  va_end(again);
}

void WriteTransports(xmlNodePtr root, const char* list_name, const char* item_name,
                     const std::vector<MulticastEndPoint>& transports) {
  xmlNodePtr list = AddList(root, list_name, transports.size());
  for (const MulticastEndPoint& t : transports) {
    xmlNodePtr item = xmlNewChild(list, nullptr, BAD_CAST item_name, nullptr);
    AddAddress(item, "addr", t.getAddr());
    AddInt(item, "port", t.getPort());
    AddInt(item, "ttl", t.getTTL());
  }
}

void ReadTransports(DocReader* r, Cursor* c, std::vector<MulticastEndPoint>* out) {
  r->List(c, out, [r](xmlNodePtr item, MulticastEndPoint* t) {
    Cursor f = DocReader::Children(item);
    t->setAddr(NodeText(r->Take(&f), r).c_str());
    t->setPort(NodeText(r->Take(&f), r).c_str());
    t->setTTL(NodeText(r->Take(&f), r).c_str());
  });
}

}  // namespace

SynthZemReq::SynthZemReq(unsigned long id, unsigned long ver,
                         const std::vector<EndPoint>& endpoints, const std::vector<EndZone>& zones)
    : Msg(Msg::SynthZemReq, id, ver), mEPVec(endpoints), mZoneVec(zones) {
  xmlNodePtr root = writeEnvelope();
  xmlNodePtr list = AddList(root, "endpointlist", mEPVec.size());
  for (const EndPoint& ep : mEPVec) AddAddress(list, "endpoint", ep.getAddr());
  list = AddList(root, "zonelist", mZoneVec.size());
  for (const EndZone& z : mZoneVec) {
    xmlNodePtr zone = xmlNewChild(list, nullptr, BAD_CAST "zone", nullptr);
    AddAddress(zone, "addr", z.getAddr());
    AddAddress(zone, "mask", z.getMask());
    char text[16];
    std::snprintf(text, sizeof(text), "%d", EpToWire(z.getEP()));
    AddText(zone, "ep", text);
    TraceLine("orvel: setEP %d -> %s\n", static_cast<int32_t>(static_cast<uint32_t>(z.getEP())),
              text);
  }
}

SynthZemReq::SynthZemReq(xmlDocPtr doc) {
  mType = Msg::SynthZemReq;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  r.List(&c, &mEPVec,
         [&r](xmlNodePtr item, EndPoint* ep) { ep->setAddr(NodeText(item, &r).c_str()); });
  r.List(&c, &mZoneVec, [&r](xmlNodePtr item, EndZone* z) {
    Cursor f = DocReader::Children(item);
    z->setAddr(NodeText(r.Take(&f), &r).c_str());
    z->setMask(NodeText(r.Take(&f), &r).c_str());
    xmlNodePtr ep_node = r.Take(&f);
    if (ep_node == nullptr) return;
    NodeText text(ep_node, &r);
    if (!r.ok()) return;
    z->setEP(EpFromWire(ParseUnsigned(text.c_str())));
    TraceLine("orvel: getEP %s -> %d\n", text.c_str(),
              static_cast<int32_t>(static_cast<uint32_t>(z->getEP())));
  });
  mValid = r.ok();
}

SynthZemOk::SynthZemOk(unsigned long id, unsigned long ver,
                       const std::vector<MulticastEndPoint>& ep_transports,
                       const std::vector<MulticastEndPoint>& zone_transports)
    : Msg(Msg::SynthZemOk, id, ver), mEPTVec(ep_transports), mZoneTVec(zone_transports) {
  xmlNodePtr root = writeEnvelope();
  WriteTransports(root, "eptransportlist", "eptransport", mEPTVec);
  WriteTransports(root, "zonetransportlist", "zonetransport", mZoneTVec);
}

SynthZemOk::SynthZemOk(xmlDocPtr doc) {
  mType = Msg::SynthZemOk;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  ReadTransports(&r, &c, &mEPTVec);
  ReadTransports(&r, &c, &mZoneTVec);
  mValid = r.ok();
}
