// Text conversions of the endpoint records.
#include <cstdlib>

#include "msg/doc_reader.h"
#include "orvel/EndPoint.h"
#include "orvel/Msg.h"

using orvel::msg::ParseUnsigned;

void EndPoint::setAddr(const char* text) { mAddress = inet_ADDR(text); }
std::string EndPoint::getStr() const { return inet_NTOS(mAddress); }
std::string EndPoint::getAddrStr() const { return inet_NTOS(mAddress); }

void EndZone::setMask(const char* text) { mMask = inet_ADDR(text); }
std::string EndZone::getMaskStr() const { return inet_NTOS(mMask); }
std::string EndZone::getStr() const { return getAddrStr() + "/" + getMaskStr(); }

void TransportEndPoint::setPort(const char* text) {
  mPort = static_cast<unsigned short>(ParseUnsigned(text));
}
std::string TransportEndPoint::getPortStr() const { return ultostr(mPort); }
std::string TransportEndPoint::getStr() const { return getAddrStr() + ":" + getPortStr(); }

void MulticastEndPoint::setTTL(const char* text) {
  mTTL = static_cast<unsigned char>(ParseUnsigned(text));
}
std::string MulticastEndPoint::getTTLStr() const { return ultostr(mTTL); }
std::string MulticastEndPoint::getStr() const {
  return TransportEndPoint::getStr() + "/" + getTTLStr();
}

void vicSDREndPoint::setDataAddr(const char* text) { mDataAddress = inet_ADDR(text); }
std::string vicSDREndPoint::getDataAddrStr() const { return inet_NTOS(mDataAddress); }
void vicSDREndPoint::setDataPort(const char* text) {
  mDataPort = static_cast<unsigned short>(ParseUnsigned(text));
}
std::string vicSDREndPoint::getDataPortStr() const { return ultostr(mDataPort); }
void vicSDREndPoint::setTTL(const char* text) {
  mTTL = static_cast<unsigned char>(ParseUnsigned(text));
}
std::string vicSDREndPoint::getTTLStr() const { return ultostr(mTTL); }
