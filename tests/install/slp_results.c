/* A C program against the standard SLP API (<slp.h>) that checks the
 * results as RFC 2614 gives them: a registration call that started returns
 * SLP_OK and reports the agent's answer through its callback; one that
 * could not start (a malformed URL) returns its error and calls nobody.
 * Exits 0 when every check holds, else 1 after a line per failed check. */
#include <slp.h>
#include <stdio.h>

static int failures = 0;

static void Check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
  }
}

static void OnReport(SLPHandle h, SLPError err, void* cookie) {
  (void)h;
  *(SLPError*)cookie = err;
}

int main(void) {
  static const char kUrl[] = "service:orvel-results://127.0.0.1:4243";
  SLPHandle h;
  SLPError got = SLP_LAST_CALL;
  if (SLPOpen("en", SLP_FALSE, &h) != SLP_OK) {
    fprintf(stderr, "SLPOpen failed\n");
    return 1;
  }
  Check(SLPReg(h, kUrl, 300, "", "(mix=5,this,true)", SLP_TRUE, OnReport, &got) == SLP_OK,
        "SLPReg returns SLP_OK");
  Check(got == SLP_OK, "SLPReg reports SLP_OK (mixed value types accepted)");

  /* The agent serves only "default": its refusal arrives by the callback. */
  SLPSetProperty("net.slp.useScopes", "elsewhere");
  got = SLP_LAST_CALL;
  Check(SLPReg(h, kUrl, 300, "", "", SLP_TRUE, OnReport, &got) == SLP_OK,
        "SLPReg in a foreign scope returns SLP_OK");
  Check(got == SLP_SCOPE_NOT_SUPPORTED, "SLPReg in a foreign scope reports SCOPE_NOT_SUPPORTED");
  got = SLP_LAST_CALL;
  Check(SLPDereg(h, kUrl, OnReport, &got) == SLP_OK, "SLPDereg in a foreign scope returns SLP_OK");
  Check(got == SLP_SCOPE_NOT_SUPPORTED, "SLPDereg in a foreign scope reports SCOPE_NOT_SUPPORTED");
  got = SLP_LAST_CALL;
  Check(SLPDelAttrs(h, kUrl, "mix", OnReport, &got) == SLP_OK,
        "SLPDelAttrs in a foreign scope returns SLP_OK");
  Check(got == SLP_SCOPE_NOT_SUPPORTED,
        "SLPDelAttrs in a foreign scope reports SCOPE_NOT_SUPPORTED");
  SLPSetProperty("net.slp.useScopes", "default");

  /* Not started: the error is the result and the callback is not called. */
  got = SLP_LAST_CALL;
  Check(SLPReg(h, "not a service url", 300, "", "", SLP_TRUE, OnReport, &got) ==
            SLP_INVALID_REGISTRATION,
        "SLPReg of a malformed URL returns SLP_INVALID_REGISTRATION");
  Check(SLPReg(h, kUrl, 0, "", "", SLP_TRUE, OnReport, &got) == SLP_PARAMETER_BAD,
        "SLPReg with lifetime 0 returns SLP_PARAMETER_BAD");
  Check(got == SLP_LAST_CALL, "no callback for a call that did not start");

  got = SLP_LAST_CALL;
  Check(SLPDereg(h, kUrl, OnReport, &got) == SLP_OK, "SLPDereg returns SLP_OK");
  Check(got == SLP_OK, "SLPDereg reports SLP_OK");
  SLPClose(h);
  return failures == 0 ? 0 : 1;
}
