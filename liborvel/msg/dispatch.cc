// The two factories that turn a received document into its message class.
#include "orvel/Msg.h"

namespace {

using Factory = Msg* (*)(xmlDocPtr doc);

template <typename T>
Msg* Build(xmlDocPtr doc) {
  return new T(doc);
}

struct Entry {
  const std::string* name;
  Factory build;
};

// In the order the transports try them.
const Entry kRequests[] = {
    {&Msg::SynthZemReq, Build<::SynthZemReq>},   {&Msg::SynthVGWReq, Build<::SynthVGWReq>},
    {&Msg::SynthIPMZReq, Build<::SynthIPMZReq>}, {&Msg::SynthInit, Build<::SynthInit>},
    {&Msg::ZemInit, Build<::ZemInit>},           {&Msg::ZemCommit, Build<::ZemCommit>},
    {&Msg::DynamicInit, Build<::DynamicInit>},   {&Msg::PELMQueryReq, Build<::PELMQueryReq>},
};

const Entry kReplies[] = {
    {&Msg::SynthZemOk, Build<::SynthZemOk>},
    {&Msg::SynthVGWOk, Build<::SynthVGWOk>},
    {&Msg::SynthIPMZOk, Build<::SynthIPMZOk>},
    {&Msg::SynthInitOk, Build<::SynthInitOk>},
    {&Msg::ZemInitOk, Build<::ZemInitOk>},
    {&Msg::ZemCommitOk, Build<::ZemCommitOk>},
    {&Msg::DynamicInitResp, Build<::DynamicInitResp>},
    {&Msg::PELMQueryResp, Build<::PELMQueryResp>},
};

template <size_t N>
Msg* FromDoc(const Entry (&table)[N], xmlDocPtr doc, bool* unknown_type) {
  if (unknown_type != nullptr) *unknown_type = true;
  xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
  if (root != nullptr) {
    const char* name = reinterpret_cast<const char*>(root->name);
    for (const Entry& e : table) {
      if (*e.name != name) continue;
      if (unknown_type != nullptr) *unknown_type = false;
      Msg* msg = e.build(doc);  // owns doc from here on
      if (msg->isValid()) return msg;
      delete msg;
      return nullptr;
    }
  }
  if (doc != nullptr) xmlFreeDoc(doc);
  return nullptr;
}

}  // namespace

Msg* newRequestMsgFromDoc(xmlDocPtr doc, bool* unknown_type) {
  return FromDoc(kRequests, doc, unknown_type);
}

Msg* newReplyMsgFromDoc(xmlDocPtr doc, bool* unknown_type) {
  return FromDoc(kReplies, doc, unknown_type);
}
