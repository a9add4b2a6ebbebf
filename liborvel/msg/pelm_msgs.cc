// Coordinate query messages: PELMNode, PELMQueryReq, PELMQueryResp.
#include "msg/doc_reader.h"
#include "msg/doc_writer.h"
#include "orvel/Msg.h"

using orvel::msg::AddDouble;
using orvel::msg::AddInt;
using orvel::msg::AddList;
using orvel::msg::Cursor;
using orvel::msg::DocReader;
using orvel::msg::NodeText;
using orvel::msg::ParseDouble;
using orvel::msg::ParseUnsigned;

// NOLINTNEXTLINE(performance-unnecessary-value-param): by value as Msg.h declares it
PELMNode::PELMNode(std::vector<std::string> coords) {
  mCoordinates.reserve(coords.size());
  for (const std::string& c : coords) mCoordinates.push_back(ParseDouble(c.c_str()));
}

bool PELMNode::allocCoordVec(int32_t count) {
  if (count < 0 || count > kMaxListEntries) {
    mCoordinates.clear();
    return false;
  }
  mCoordinates.assign(static_cast<size_t>(count), 0.0);
  return true;
}

std::string PELMNode::coordAt(int32_t index) const {
  if (index < 0 || index >= size()) return std::string();
  return orvel::msg::FormatDouble(mCoordinates[static_cast<size_t>(index)]);
}

double PELMNode::DcoordAt(int32_t index) const {
  if (index < 0 || index >= size()) return 0.0;
  return mCoordinates[static_cast<size_t>(index)];
}

void PELMNode::setCoordAt(int32_t index, double value) {
  if (static_cast<uint32_t>(index) < mCoordinates.size()) {
    mCoordinates[static_cast<size_t>(index)] = value;
  }
}

namespace {

void WriteNodes(xmlNodePtr root, const char* list_name, const char* item_name,
                const std::vector<PELMNode>& nodes) {
  xmlNodePtr list = AddList(root, list_name, nodes.size());
  for (const PELMNode& n : nodes) {
    xmlNodePtr item = AddList(list, item_name, static_cast<size_t>(n.size()));
    for (double v : n.getCoordinates()) AddDouble(item, "coord", v);
  }
}

void WriteInts(xmlNodePtr root, const char* list_name, const char* item_name,
               const std::vector<int32_t>& values) {
  xmlNodePtr list = AddList(root, list_name, values.size());
  for (int32_t v : values) AddInt(list, item_name, static_cast<uint32_t>(v));
}

void ReadNodes(DocReader* r, Cursor* c, std::vector<PELMNode>* out) {
  r->List(c, out, [r](xmlNodePtr item, PELMNode* node) {
    long n = r->Count(item);
    if (n < 0) return;
    node->allocCoordVec(static_cast<int32_t>(n));
    Cursor coords = DocReader::Children(item);
    for (int32_t k = 0; k < n && coords.next != nullptr; ++k) {
      node->setCoordAt(k, ParseDouble(NodeText(r->Take(&coords), r).c_str()));
    }
  });
}

void ReadInts(DocReader* r, Cursor* c, std::vector<int32_t>* out) {
  r->List(c, out, [r](xmlNodePtr item, int32_t* v) {
    *v = static_cast<int32_t>(ParseUnsigned(NodeText(item, r).c_str()));
  });
}

}  // namespace

PELMQueryReq::PELMQueryReq(unsigned long id, unsigned long ver, int32_t solution_rank,
                           int32_t proxies_per_solution, const std::vector<PELMNode>& clients,
                           const std::vector<PELMNode>& candidates,
                           const std::vector<int32_t>& capacities,
                           const std::vector<int32_t>& costs)
    : Msg(Msg::PELMQueryReq, id, ver),
      mSolutionRank(solution_rank),
      mNumProxiesPerSolution(proxies_per_solution),
      mClientVec(clients),
      mCandidateVec(candidates),
      mCapacityVec(capacities),
      mCostVec(costs) {
  xmlNodePtr root = writeEnvelope();
  AddInt(root, "sol_rank", static_cast<uint32_t>(mSolutionRank));
  AddInt(root, "num_proxy", static_cast<uint32_t>(mNumProxiesPerSolution));
  WriteNodes(root, "clientlist", "client", mClientVec);
  WriteNodes(root, "candidatelist", "candidate", mCandidateVec);
  WriteInts(root, "capacitylist", "capacity", mCapacityVec);
  WriteInts(root, "costlist", "cost", mCostVec);
}

PELMQueryReq::PELMQueryReq(xmlDocPtr doc) : mSolutionRank(0), mNumProxiesPerSolution(0) {
  mType = Msg::PELMQueryReq;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  mSolutionRank = static_cast<int32_t>(r.Unsigned(&c));
  mNumProxiesPerSolution = static_cast<int32_t>(r.Unsigned(&c));
  ReadNodes(&r, &c, &mClientVec);
  ReadNodes(&r, &c, &mCandidateVec);
  ReadInts(&r, &c, &mCapacityVec);
  ReadInts(&r, &c, &mCostVec);
  mValid = r.ok();
}

PELMQueryResp::PELMQueryResp(unsigned long id, unsigned long ver,
                             const std::vector<int32_t>& indices, double fitness)
    : Msg(Msg::PELMQueryResp, id, ver), mIndexVec(indices), mFitness(fitness) {
  xmlNodePtr root = writeEnvelope();
  WriteInts(root, "idxlist", "idx", mIndexVec);
  AddDouble(root, "fitness", mFitness);
}

PELMQueryResp::PELMQueryResp(xmlDocPtr doc) : mFitness(0.0) {
  mType = Msg::PELMQueryResp;
  mDoc.reset(doc);
  DocReader r(doc);
  Cursor c = r.Envelope(&mId, &mVersion);
  ReadInts(&r, &c, &mIndexVec);
  mFitness = r.Double(&c);
  mValid = r.ok();
}
