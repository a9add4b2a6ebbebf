// Initialisation messages: SynthInit, SynthInitOk, DynamicInit,
// DynamicInitResp.
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

namespace {

void WriteParticipants(xmlNodePtr root, const char* list_name, const char* item_name,
                       const std::vector<VCEndPoint>& participants) {
  xmlNodePtr list = AddList(root, list_name, participants.size());
  for (const VCEndPoint& p : participants) {
    xmlNodePtr item = xmlNewChild(list, nullptr, BAD_CAST item_name, nullptr);
    AddString(item, "user", p.getUsername());
    AddAddress(item, "addr", p.getAddr());
  }
}

void ReadParticipants(DocReader* r, Cursor* c, std::vector<VCEndPoint>* out) {
  r->List(c, out, [r](xmlNodePtr item, VCEndPoint* p) {
    Cursor f = DocReader::Children(item);
    p->setUsername(r->Text(&f));
    p->setAddr(NodeText(r->Take(&f), r).c_str());
  });
}

}  // namespace

SynthInit::SynthInit(unsigned long id, unsigned long ver, const std::vector<VCEndPoint>& vics,
                     const std::vector<VCEndPoint>& mcvics, const std::vector<VCEndPoint>& nms,
                     const std::vector<VCEndPoint>& hhs, const std::vector<VCEndPoint>& wbs,
                     std::string movie_name)
    : Msg(Msg::SynthInit, id, ver),
      mVicVec(vics),
      mMCVicVec(mcvics),
      mNMVec(nms),
      mHHVec(hhs),
      mWBVec(wbs),
      mMovieName(std::move(movie_name)) {
  xmlNodePtr root = writeEnvelope();
  WriteParticipants(root, "viclist", "vic", mVicVec);
  WriteParticipants(root, "mcviclist", "mcvic", mMCVicVec);
  WriteParticipants(root, "nmlist", "nm", mNMVec);
  WriteParticipants(root, "hhlist", "hh", mHHVec);
  WriteParticipants(root, "wblist", "wb", mWBVec);
  AddString(root, "moviename", mMovieName);
}

SynthInit::SynthInit(xmlDocPtr doc) {
  mType = Msg::SynthInit;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  ReadParticipants(&r, &c, &mVicVec);
  ReadParticipants(&r, &c, &mMCVicVec);
  ReadParticipants(&r, &c, &mNMVec);
  ReadParticipants(&r, &c, &mHHVec);
  ReadParticipants(&r, &c, &mWBVec);
  mMovieName = r.Text(&c);
  mValid = r.ok();
}

SynthInitOk::SynthInitOk(unsigned long id, unsigned long ver) : Msg(Msg::SynthInitOk, id, ver) {
  writeEnvelope();
}

SynthInitOk::SynthInitOk(xmlDocPtr doc) { readEnvelopeOnly(Msg::SynthInitOk, doc); }

DynamicInit::DynamicInit(unsigned long id, unsigned long ver, const std::vector<std::string>& argv)
    : Msg(Msg::DynamicInit, id, ver), mARGV(argv) {
  xmlNodePtr root = writeEnvelope();
  xmlNodePtr list = AddList(root, "argv", mARGV.size());
  for (const std::string& arg : mARGV) AddString(list, "arg", arg);
}

DynamicInit::DynamicInit(xmlDocPtr doc) {
  mType = Msg::DynamicInit;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  r.List(&c, &mARGV,
         [&r](xmlNodePtr item, std::string* arg) { *arg = NodeText(item, &r).c_str(); });
  mValid = r.ok();
}

DynamicInitResp::DynamicInitResp(unsigned long id, unsigned long ver, int32_t status)
    : Msg(Msg::DynamicInitResp, id, ver), mStatus(status) {
  xmlNodePtr root = writeEnvelope();
  AddInt(root, "status", static_cast<uint32_t>(mStatus));
}

DynamicInitResp::DynamicInitResp(xmlDocPtr doc) : mStatus(0) {
  mType = Msg::DynamicInitResp;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mStatus = r.Signed(&c);
  mValid = r.ok();
}
