// Proxy control messages: ZemInit, ZemInitOk, ZemCommit, ZemCommitOk.
#include "msg/doc_reader.h"
#include "msg/doc_writer.h"
#include "orvel/Msg.h"

using orvel::msg::AddAddress;
using orvel::msg::AddInt;
using orvel::msg::AddList;
using orvel::msg::Cursor;
using orvel::msg::DocReader;
using orvel::msg::NodeText;

ZemInit::ZemInit(unsigned long id, unsigned long ver, unsigned short port)
    : Msg(Msg::ZemInit, id, ver), mPort(port) {
  xmlNodePtr root = writeEnvelope();
  AddInt(root, "data_port", mPort);
}

ZemInit::ZemInit(xmlDocPtr doc) : mPort(0) {
  mType = Msg::ZemInit;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mPort = static_cast<unsigned short>(r.Unsigned(&c));
  mValid = r.ok();
}

std::string ZemInit::getPortStr() const { return ultostr(mPort); }

ZemInitOk::ZemInitOk(unsigned long id, unsigned long ver, unsigned long addr, unsigned char ttl)
    : Msg(Msg::ZemInitOk, id, ver), mAddress(addr & 0xffffffffUL), mTTL(ttl) {
  xmlNodePtr root = writeEnvelope();
  AddAddress(root, "data_addr", mAddress);
  AddInt(root, "ttl", mTTL);
}

ZemInitOk::ZemInitOk(xmlDocPtr doc) : mAddress(0), mTTL(0) {
  mType = Msg::ZemInitOk;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mAddress = r.Address(&c);
  mTTL = static_cast<unsigned char>(r.Unsigned(&c));
  mValid = r.ok();
}

std::string ZemInitOk::getAddrStr() const { return inet_NTOS(mAddress); }
std::string ZemInitOk::getTTLStr() const { return ultostr(mTTL); }

ZemCommit::ZemCommit(unsigned long id, unsigned long ver, unsigned long addr, unsigned short port,
                     unsigned char ttl, const std::vector<TransportEndPoint>& members)
    : Msg(Msg::ZemCommit, id, ver),
      mAddress(addr & 0xffffffffUL),
      mPort(port),
      mTTL(ttl),
      mMemberVec(members) {
  xmlNodePtr root = writeEnvelope();
  AddAddress(root, "data_addr", mAddress);
  AddInt(root, "data_port", mPort);
  AddInt(root, "ttl", mTTL);
  xmlNodePtr list = AddList(root, "memberlist", mMemberVec.size());
  for (const TransportEndPoint& m : mMemberVec) {
    xmlNodePtr member = xmlNewChild(list, nullptr, BAD_CAST "member", nullptr);
    AddAddress(member, "addr", m.getAddr());
    AddInt(member, "port", m.getPort());
  }
}

ZemCommit::ZemCommit(xmlDocPtr doc) : mAddress(0), mPort(0), mTTL(0) {
  mType = Msg::ZemCommit;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mAddress = r.Address(&c);
  mPort = r.Unsigned(&c);
  mTTL = static_cast<unsigned char>(r.Unsigned(&c));
  r.List(&c, &mMemberVec, [&r](xmlNodePtr item, TransportEndPoint* m) {
    Cursor f = DocReader::Children(item);
    m->setAddr(NodeText(r.Take(&f), &r).c_str());
    m->setPort(NodeText(r.Take(&f), &r).c_str());
  });
  mValid = r.ok();
}

std::string ZemCommit::getAddrStr() const { return inet_NTOS(mAddress); }
std::string ZemCommit::getPortStr() const { return ultostr(getPort()); }
std::string ZemCommit::getTTLStr() const { return ultostr(mTTL); }

ZemCommitOk::ZemCommitOk(unsigned long id, unsigned long ver) : Msg(Msg::ZemCommitOk, id, ver) {
  writeEnvelope();
}

ZemCommitOk::ZemCommitOk(xmlDocPtr doc) { readEnvelopeOnly(Msg::ZemCommitOk, doc); }
