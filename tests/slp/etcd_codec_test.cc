// The pieces of --etcd that need no server: base64, key ranges, endpoint
// lists, and registration keys and records.
#include <gtest/gtest.h>

#include <string>

#include "etcd_client.h"
#include "etcd_replica.h"

namespace orvel::etcd {
namespace {

TEST(EtcdCodec, Base64RoundTripsEveryByteAndLength) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t len = 0; len <= all.size(); len += 37) {
    std::string in = all.substr(all.size() - len);
    std::string out;
    ASSERT_TRUE(Base64Decode(Base64Encode(in), &out)) << len;
    EXPECT_EQ(out, in) << len;
  }
  std::string out;
  EXPECT_TRUE(Base64Decode("Zm8=", &out));
  EXPECT_EQ(out, "fo");
}

TEST(EtcdCodec, Base64RejectsMalformedText) {
  std::string out;
  EXPECT_FALSE(Base64Decode("Zm9", &out));   // length not a multiple of 4
  EXPECT_FALSE(Base64Decode("Zm9!", &out));  // outside the alphabet
  EXPECT_FALSE(Base64Decode("Z=9v", &out));  // padding inside
  EXPECT_FALSE(Base64Decode("Zm==Zm9v", &out));
}

TEST(EtcdCodec, PrefixEndCoversExactlyThePrefix) {
  EXPECT_EQ(PrefixEnd("/orvel/slp/"), "/orvel/slp0");
  EXPECT_EQ(PrefixEnd(std::string("a\xff", 2)), "b");
  EXPECT_EQ(PrefixEnd(std::string("\xff\xff", 2)), std::string(1, '\0'));
  EXPECT_EQ(PrefixEnd(""), std::string(1, '\0'));
  // Every key of a URL's languages lies in [UrlKeyPrefix, PrefixEnd), and
  // a longer URL with the same start does not.
  std::string from = UrlKeyPrefix("/p/", "service:x://a");
  std::string to = PrefixEnd(from);
  std::string en = RegistrationKey("/p/", "service:x://a", "EN");
  std::string longer = RegistrationKey("/p/", "service:x://ab", "en");
  EXPECT_TRUE(en >= from && en < to);
  EXPECT_FALSE(longer >= from && longer < to);
}

TEST(EtcdCodec, EndpointListsAreCheckedWhole) {
  std::vector<std::string> e = ParseEndpoints("http://10.0.0.1:2379,https://h:2379/");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], "http://10.0.0.1:2379");
  EXPECT_EQ(e[1], "https://h:2379");
  EXPECT_TRUE(ParseEndpoints("").empty());
  EXPECT_TRUE(ParseEndpoints("10.0.0.1:2379").empty());
  EXPECT_TRUE(ParseEndpoints("http://a:1,,http://b:2").empty());
  EXPECT_TRUE(ParseEndpoints("http://").empty());
}

TEST(EtcdCodec, RecordsRoundTripAwkwardFields) {
  slp::RegistrationInput in;
  in.url = "service:ZemProxy://10.0.0.5:5000/%41\tx";
  in.lang = "en-US";
  in.service_type = "service:ZemProxy";
  in.scopes = "default,lab";
  in.attrs = "(a=1\\0D\\0A),(b=\\FF\\00),(c=x\ny\r%)";
  std::string value = EncodeRecord(in, 1796903444743);
  EXPECT_EQ(value.find('\n'), std::string::npos);
  slp::RegistrationInput out;
  int64_t expiry = 0;
  ASSERT_TRUE(DecodeRecord(value, &out, &expiry));
  EXPECT_EQ(expiry, 1796903444743);
  EXPECT_EQ(out.url, in.url);
  EXPECT_EQ(out.lang, in.lang);
  EXPECT_EQ(out.service_type, in.service_type);
  EXPECT_EQ(out.scopes, in.scopes);
  EXPECT_EQ(out.attrs, in.attrs);
  EXPECT_TRUE(out.fresh);
  // Keys fold the language, so a re-registration in "EN-us" replaces it.
  EXPECT_EQ(RegistrationKey("/p/", in.url, "EN-us"), RegistrationKey("/p/", in.url, in.lang));
  EXPECT_EQ(RegistrationKey("/p/", in.url, in.lang).find('\n'), std::string::npos);
}

TEST(EtcdCodec, DecodeRefusesAnythingButAWholeRecord) {
  slp::RegistrationInput in;
  in.url = "service:x://a";
  in.lang = "en";
  in.service_type = "x";
  in.scopes = "default";
  in.attrs = "(a=1)";
  std::string value = EncodeRecord(in, 5);
  slp::RegistrationInput out;
  int64_t expiry = 0;
  EXPECT_TRUE(DecodeRecord(value, &out, &expiry));
  EXPECT_FALSE(DecodeRecord(value.substr(0, value.size() - 1) + "\t", &out, &expiry));
  EXPECT_FALSE(DecodeRecord(value.substr(0, value.rfind('\t')), &out, &expiry));
  EXPECT_FALSE(DecodeRecord("2" + value.substr(1), &out, &expiry));        // unknown version
  EXPECT_FALSE(DecodeRecord("1\tsoon" + value.substr(3), &out, &expiry));  // bad expiry
  std::string bad_escape = value;
  bad_escape.replace(bad_escape.find("service:x://a"), 1, "%G");
  EXPECT_FALSE(DecodeRecord(bad_escape, &out, &expiry));
  EXPECT_FALSE(DecodeRecord("", &out, &expiry));
}

}  // namespace
}  // namespace orvel::etcd
