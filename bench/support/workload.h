// What the bench sends: realistic request messages in three mixes, and the
// policy snapshots the host reads.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::bench {

// Which step of the host decides the messages of a mix.
enum class Mix { requestChecks, policy, takeover };

inline constexpr std::array allMixes = {Mix::requestChecks, Mix::policy, Mix::takeover};

std::string_view mixName(Mix mix);

// The action and reason every message of a mix gets (reason empty for takeover).
std::string_view expectedAction(Mix mix);
std::string_view expectedReason(Mix mix);

// A few request bodies of the mix, a few hundred bytes each; the replies to
// all of them have the same length.
std::vector<std::string> requestMessages(Mix mix);

// One message of the mix padded, inside a string member, to exactly size
// bytes: head, then `padding` letters 'a', then tail. In parts, so that a huge
// one can be written without being held whole.
struct PaddedMessage {
  std::string head;
  std::size_t padding = 0;
  std::string tail;
};
PaddedMessage paddedMessage(Mix mix, std::size_t size);

// A snapshot with hostEntries entries spread over the three host lists and
// the given number of bypass rules; none of them covers a takeover message.
std::string snapshotText(std::size_t hostEntries, std::size_t rules);

// The policy published during the host comparison: a modest snapshot that
// also names the hosts the policy mix is bypassed for.
std::string comparisonPolicyText();

// A message that passes every request check and reaches the host lists
// without a match, for the policy cost.
std::string policyProbeMessage();

// The 4-byte little-endian length that starts a frame.
std::string lengthHeader(std::size_t length);

// body with its length in front.
std::string frameOf(std::string_view body);

}  // namespace qorda::bench
