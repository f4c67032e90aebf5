// SPDX-License-Identifier: Apache-2.0
// policy.h -- the origin policy: a list of permitted domain patterns
// ("*.example.com;intra.") and the check of a page origin against it.
//
// Patterns keep regular-expression syntax ("*" is any run of non-space
// characters, "." a literal dot); every expression is matched with RE2, in
// time linear in the input, ignoring case, over the whole text.
//
// A check is set, unlock, isUnlock, free. KestrovanUrlCheck holds the state of
// one check, so concurrent checks with their own objects never see each
// other. The four plain functions drive the process-wide check
// KestrovanPolicy_state, which has no lock: callers that use them must keep
// checks from overlapping.
#ifndef KESTROVAN_POLICY_POLICY_H
#define KESTROVAN_POLICY_POLICY_H

#include <string>
#include <vector>

struct KestrovanUrlCheck {
  std::vector<std::string> vecDomainRegexs;  // one expression fragment per permitted domain
  bool bIsUnlock = false;                    // outcome of the checks since the list was set
};

// Sets the list: the flag becomes false; a missing or empty text leaves the
// fragments as they were; otherwise the pieces between ";" are trimmed, a
// leading or trailing "." gets a "*" beside it, blank pieces are dropped.
void KestrovanPolicy_setUnlockURL(KestrovanUrlCheck* check, const char* domainList);
// Checks an origin ("https://host[:port]"): when it is a URL of that form and
// its host matches one of the fragments, the flag becomes true (and stays true
// until the list is set again).
void KestrovanPolicy_unlock(KestrovanUrlCheck* check, const char* origin);
bool KestrovanPolicy_isUrlUnlock(const KestrovanUrlCheck* check);
// Empties the fragments; the flag keeps its value.
void KestrovanPolicy_freeCheckURL(KestrovanUrlCheck* check);

extern KestrovanUrlCheck KestrovanPolicy_state;

void setUnlockURL(const char* domainList);
void KestrovanPolicy_unlockState(const char* origin);
bool isUrlUnlock();
void freeCheckURL();

#endif
