// Failures that are harmless by design, marked where they happen.
//
// Some failures Nimbrel ignores on purpose: a nicety that could not be set,
// a line or an event that could not be written, a help that the work can do
// without. The call is made inside a BenignFailures scope, which says so to
// the reader and to the simulated Windows: a failure inside the mark may
// cost the operation what that call was for, and nothing else. On Windows
// the mark does nothing.
#pragma once

namespace nimbrel {

void BeginBenignFailures();
void EndBenignFailures();

class BenignFailures {
  public:
    BenignFailures() { BeginBenignFailures(); }
    ~BenignFailures() { EndBenignFailures(); }
    BenignFailures(const BenignFailures&) = delete;
    BenignFailures& operator=(const BenignFailures&) = delete;
};

} // namespace nimbrel
