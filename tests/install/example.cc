// Builds against an installed liborvel, through orvel.pc or find_package(orvel).
#include <orvel/Msg.h>
#include <orvel/http.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  ZemCommitOk ok(1234, 1235);
  char* text = ok.getChars();
  if (!text) return 1;
  const char* want =
      "<?xml version=\"1.0\"?>\n<ZemCommitOk><id>1234</id><version>1235</version></ZemCommitOk>\n";
  int rc = std::strcmp(text, want) == 0 ? 0 : 1;
  std::printf("%s", text);
  std::free(text);
  std::printf("mask2int(255.255.255.0) = %d\n", mask2int(inet_ADDR("255.255.255.0")));
  return rc;
}
