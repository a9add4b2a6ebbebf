// Gateway and zone synthesis messages: SynthVGWReq, SynthVGWOk,
// SynthIPMZReq, SynthIPMZOk.
#include "msg/doc_reader.h"
#include "msg/doc_writer.h"
#include "orvel/Msg.h"

using orvel::msg::AddAddress;
using orvel::msg::AddInt;
using orvel::msg::AddList;
using orvel::msg::AddString;
using orvel::msg::Cursor;
using orvel::msg::DocReader;
using orvel::msg::NodeText;

SynthVGWReq::SynthVGWReq(unsigned long id, unsigned long ver, unsigned long data_addr,
                         unsigned short data_port, unsigned char ttl,
                         const std::vector<vicSDREndPoint>& vics,
                         const std::vector<NetmeetingEndPoint>& netmeetings)
    : Msg(Msg::SynthVGWReq, id, ver),
      mVGWDataAddr(data_addr & 0xffffffffUL),
      mVGWDataPort(data_port),
      mVGWTTL(ttl),
      mVicVec(vics),
      mNMVec(netmeetings) {
  xmlNodePtr root = writeEnvelope();
  AddAddress(root, "vgwdataaddr", mVGWDataAddr);
  AddInt(root, "vgwdataport", mVGWDataPort);
  AddInt(root, "vgwttl", mVGWTTL);
  xmlNodePtr list = AddList(root, "vicsdrlist", mVicVec.size());
  for (const vicSDREndPoint& v : mVicVec) {
    xmlNodePtr item = xmlNewChild(list, nullptr, BAD_CAST "vicsdr", nullptr);
    AddString(item, "user", v.getUsername());
    AddAddress(item, "addr", v.getAddr());
    AddAddress(item, "dataaddr", v.getDataAddr());
    AddInt(item, "dataport", v.getDataPort());
    AddInt(item, "ttl", v.getTTL());
  }
  list = AddList(root, "netmeetinglist", mNMVec.size());
  for (const NetmeetingEndPoint& n : mNMVec) {
    xmlNodePtr item = xmlNewChild(list, nullptr, BAD_CAST "netmeeting", nullptr);
    AddString(item, "user", n.getUsername());
    AddAddress(item, "addr", n.getAddr());
  }
}

SynthVGWReq::SynthVGWReq(xmlDocPtr doc) : mVGWDataAddr(0), mVGWDataPort(0), mVGWTTL(0) {
  mType = Msg::SynthVGWReq;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mVGWDataAddr = r.Address(&c);
  mVGWDataPort = static_cast<unsigned short>(r.Unsigned(&c));
  mVGWTTL = static_cast<unsigned char>(r.Unsigned(&c));
  r.List(&c, &mVicVec, [&r](xmlNodePtr item, vicSDREndPoint* v) {
    Cursor f = DocReader::Children(item);
    v->setUsername(r.Text(&f));
    v->setAddr(NodeText(r.Take(&f), &r).c_str());
    v->setDataAddr(NodeText(r.Take(&f), &r).c_str());
    v->setDataPort(NodeText(r.Take(&f), &r).c_str());
    v->setTTL(NodeText(r.Take(&f), &r).c_str());
  });
  r.List(&c, &mNMVec, [&r](xmlNodePtr item, NetmeetingEndPoint* n) {
    Cursor f = DocReader::Children(item);
    n->setUsername(r.Text(&f));
    n->setAddr(NodeText(r.Take(&f), &r).c_str());
  });
  mValid = r.ok();
}

std::string SynthVGWReq::getVGWDataAddrStr() const { return inet_NTOS(mVGWDataAddr); }

SynthVGWOk::SynthVGWOk(unsigned long id, unsigned long ver) : Msg(Msg::SynthVGWOk, id, ver) {
  writeEnvelope();
}

SynthVGWOk::SynthVGWOk(xmlDocPtr doc) { readEnvelopeOnly(Msg::SynthVGWOk, doc); }

SynthIPMZReq::SynthIPMZReq(unsigned long id, unsigned long ver,
                           const std::vector<EndPoint>& endpoints)
    : Msg(Msg::SynthIPMZReq, id, ver), mEPVec(endpoints) {
  xmlNodePtr root = writeEnvelope();
  xmlNodePtr list = AddList(root, "endpointlist", mEPVec.size());
  for (const EndPoint& ep : mEPVec) AddAddress(list, "endpoint", ep.getAddr());
}

SynthIPMZReq::SynthIPMZReq(xmlDocPtr doc) {
  mType = Msg::SynthIPMZReq;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  r.List(&c, &mEPVec,
         [&r](xmlNodePtr item, EndPoint* ep) { ep->setAddr(NodeText(item, &r).c_str()); });
  mValid = r.ok();
}

SynthIPMZOk::SynthIPMZOk(unsigned long id, unsigned long ver, const std::vector<EndZone>& zones,
                         const std::vector<uint32_t>& indices)
    : Msg(Msg::SynthIPMZOk, id, ver), mZoneVec(zones), mIdxVec(indices) {
  xmlNodePtr root = writeEnvelope();
  xmlNodePtr list = AddList(root, "zonelist", mZoneVec.size());
  for (const EndZone& z : mZoneVec) {
    xmlNodePtr zone = xmlNewChild(list, nullptr, BAD_CAST "zone", nullptr);
    AddAddress(zone, "addr", z.getAddr());
    AddAddress(zone, "mask", z.getMask());
  }
  list = AddList(root, "idxlist", mIdxVec.size());
  for (uint32_t idx : mIdxVec) AddInt(list, "idx", idx);
}

SynthIPMZOk::SynthIPMZOk(xmlDocPtr doc) {
  mType = Msg::SynthIPMZOk;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  r.List(&c, &mZoneVec, [&r](xmlNodePtr item, EndZone* z) {
    Cursor f = DocReader::Children(item);
    z->setAddr(NodeText(r.Take(&f), &r).c_str());
    z->setMask(NodeText(r.Take(&f), &r).c_str());
  });
  r.List(&c, &mIdxVec, [&r](xmlNodePtr item, uint32_t* idx) {
    *idx = orvel::msg::ParseUnsigned(NodeText(item, &r).c_str());
  });
  mValid = r.ok();
}
