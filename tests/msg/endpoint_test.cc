// Endpoint records: text forms and text setters.
#include <gtest/gtest.h>

#include "msg_test_util.h"

using msgtest::A;

namespace {

TEST(EndPoints, TextForms) {
  TransportEndPoint t(A("10.0.0.1"), 7560);
  EXPECT_EQ(t.getStr(), "10.0.0.1:7560");
  EXPECT_EQ(t.getPortStr(), "7560");
  EXPECT_EQ(t.getAddrStr(), "10.0.0.1");
  MulticastEndPoint m(A("224.5.6.7"), 7560, 16);
  EXPECT_EQ(m.getStr(), "224.5.6.7:7560/16");
  EXPECT_EQ(m.getTTLStr(), "16");
  EndZone z(A("10.1.0.0"), A("255.255.0.0"));
  EXPECT_EQ(z.getStr(), "10.1.0.0/255.255.0.0");
  EXPECT_EQ(z.getMaskStr(), "255.255.0.0");
  vicSDREndPoint v("u", A("10.0.0.5"), A("224.2.0.1"), 5004, 16);
  EXPECT_EQ(v.getDataAddrStr(), "224.2.0.1");
  EXPECT_EQ(v.getDataPortStr(), "5004");
  EXPECT_EQ(v.getTTLStr(), "16");
  VCEndPoint vc("user1", A("10.0.0.9"));
  EXPECT_EQ(vc.getEndPoint().getStr(), "10.0.0.9");
}

TEST(EndPoints, TextSettersNeverFail) {
  EndPoint e(A("1.2.3.4"));
  e.setAddr("300.1.1.1");
  EXPECT_EQ(e.getAddr(), 0u);
  TransportEndPoint t;
  t.setPort("65537");
  EXPECT_EQ(t.getPort(), 1);
  t.setPort("port");
  EXPECT_EQ(t.getPort(), 0);
  MulticastEndPoint m;
  m.setTTL("300");
  EXPECT_EQ(m.getTTL(), 44);
  vicSDREndPoint v;
  v.setDataPort("70000");
  v.setTTL("256");
  v.setDataAddr("224.2.0.1");
  EXPECT_EQ(v.getDataPort(), 4464);
  EXPECT_EQ(v.getTTL(), 0);
  EXPECT_EQ(v.getDataAddr(), A("224.2.0.1"));
  EndZone z;
  z.setMask("255.255.255.0");
  EXPECT_EQ(z.getMask(), A("255.255.255.0"));
  z.setMask("mask");
  EXPECT_EQ(z.getMask(), 0u);
}

TEST(EndPoints, AddressesKeep32Bits) {
  EndPoint e(0x10a000001UL);
  EXPECT_EQ(e.getAddr(), 0x0a000001UL);
  EndZone z;
  z.setEP(0xfffffffffUL);
  EXPECT_EQ(z.getEP(), 0xffffffffUL);
}

TEST(EndPoints, CopyingAZoneCopiesEverything) {
  EndZone z(A("10.1.0.0"), A("255.255.0.0"));
  z.setEP(A("10.1.0.5"));
  EndZone copy(z);
  EXPECT_EQ(copy.getAddr(), A("10.1.0.0"));
  EXPECT_EQ(copy.getMask(), A("255.255.0.0"));
  EXPECT_EQ(copy.getEP(), A("10.1.0.5"));
}

}  // namespace
