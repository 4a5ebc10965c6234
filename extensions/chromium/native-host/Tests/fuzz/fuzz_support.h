// What the fuzzers share: main's loop body with the checks every answer must
// pass, and the fake desktop application (the policy comes from the target;
// hand-offs are recorded instead of stored).
#pragma once

#include "host/reply.h"
#include "policy/policy_cache.h"

#include <string>

namespace qorda::fuzz {

// Prints what went wrong and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// Runs main's loop body on body, with decoder and policy kept from call to
// call as one long-lived host keeps them, then checks the reply: one JSON
// object within the cap; an error reply exactly when the body is no JSON
// object; a decision of the table; the echoes as the message has them; the
// body handed off exactly for a takeover.
void answerAndCheck(std::string_view body);

// The snapshot text the fake channel publishes from now on; until then, a
// fixed one with hosts and rules of every scope.
void publishSnapshot(std::string text);

}  // namespace qorda::fuzz
