/* A C program written against the standard SLP API, as it would be for any
 * SLP library: registers a service with the directory agent named in the
 * configuration file, finds it again, and exits 0 when it was found once. */
#include <slp.h>
#include <stdio.h>
#include <string.h>

static const char kUrl[] = "service:orvel-test://127.0.0.1:4242";

static void OnReg(SLPHandle h, SLPError err, void* cookie) {
  (void)h;
  *(SLPError*)cookie = err;
}

static SLPBoolean OnUrl(SLPHandle h, const char* url, unsigned short lifetime, SLPError err,
                        void* cookie) {
  (void)h;
  (void)lifetime;
  if (err == SLP_OK) {
    printf("found %s\n", url);
    if (strcmp(url, kUrl) == 0) ++*(int*)cookie;
  }
  return SLP_TRUE;
}

int main(void) {
  SLPHandle h;
  SLPError reg_err = SLP_INTERNAL_ERROR;
  int found = 0;
  SLPError err = SLPOpen("en", SLP_FALSE, &h);
  if (err != SLP_OK) {
    fprintf(stderr, "SLPOpen: %d\n", (int)err);
    return 1;
  }
  err = SLPReg(h, kUrl, SLP_LIFETIME_DEFAULT, "", "(colour=blue)", SLP_TRUE, OnReg, &reg_err);
  if (err != SLP_OK || reg_err != SLP_OK) {
    fprintf(stderr, "SLPReg: %d %d\n", (int)err, (int)reg_err);
    SLPClose(h);
    return 1;
  }
  err = SLPFindSrvs(h, "service:orvel-test", "", "(colour=blue)", OnUrl, &found);
  SLPClose(h);
  if (err != SLP_OK) {
    fprintf(stderr, "SLPFindSrvs: %d\n", (int)err);
    return 1;
  }
  return found == 1 ? 0 : 1;
}
