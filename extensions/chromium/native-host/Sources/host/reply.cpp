#include "reply.h"

#include "json/json_writer.h"
#include "policy/policy_evaluation.h"

namespace qorda {
namespace {

struct Member {
  std::string_view key;
  std::variant<bool, std::string_view> value;
};

// At most seven members, in the order they are written.
struct Members {
  Member items[7];
  std::size_t count = 0;
  void add(std::string_view key, std::variant<bool, std::string_view> value) {
    items[count++] = {key, value};
  }
};

Members membersOf(const Decided& decided) {
  const CheckRow& row = rowOf(decided.decision);
  Members members;
  members.add("accepted", true);
  members.add("host", hostName);
  members.add("version", hostVersion);
  members.add("messageType", decided.messageType.value_or("unknown"));
  members.add("requestId", decided.requestId.value_or(""));
  members.add("policyAction", actionName(row.action));
  if (!row.reason.empty()) members.add("reason", row.reason);
  return members;
}

Members membersOf(HostError error) {
  Members members;
  members.add("accepted", false);
  members.add("reason", error == HostError::invalidJSONShape ? "invalid_json_shape" : "invalid_json");
  members.add("host", hostName);
  members.add("version", hostVersion);
  return members;
}

// The encoded size before any escaping: escapes only add to it.
std::size_t unescapedSize(const Members& members) {
  std::size_t size = 2;
  for (std::size_t i = 0; i < members.count; ++i) {
    size += members.items[i].key.size() + 4;
    if (auto text = std::get_if<std::string_view>(&members.items[i].value)) size += text->size() + 2;
  }
  return size;
}

bool encode(const Members& members, std::string& out) {
  out.clear();
  // Refuse a huge echo before writing megabytes of it.
  if (unescapedSize(members) > maxReplySize) return false;
  out += '{';
  for (std::size_t i = 0; i < members.count; ++i) {
    const Member& member = members.items[i];
    if (i > 0) out += ',';
    appendJsonString(out, member.key);
    out += ':';
    if (auto flag = std::get_if<bool>(&member.value))
      out += *flag ? "true" : "false";
    else
      appendJsonString(out, std::get<std::string_view>(member.value));
  }
  out += '}';
  return out.size() <= maxReplySize;
}

}  // namespace

Reply replyTo(const DecodedMessage& decoded, PolicyCache& cache) {
  if (auto error = std::get_if<HostError>(&decoded)) return *error;
  const Message& message = std::get<Message>(decoded);
  return Decided{message.messageType, message.requestId, evaluatePolicyAction(message.intent, cache)};
}

bool isTakeover(const Reply& reply) {
  auto decided = std::get_if<Decided>(&reply);
  return decided && rowOf(decided->decision).action == Action::takeover;
}

void encodeReply(const Reply& reply, std::string& out) {
  Members members = std::visit([](const auto& value) { return membersOf(value); }, reply);
  if (!encode(members, out)) out = "{}";
}

}  // namespace qorda
