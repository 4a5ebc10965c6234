#include "reply.h"

#include "json/json_lookup.h"
#include "json/json_writer.h"

namespace qorda {
namespace {

void add(ReplyObject& reply, std::string_view key, std::variant<bool, std::string_view> value) {
  reply.members[reply.count++] = {key, value};
}

// The encoded size before any escaping: escapes only add to it.
std::size_t unescapedSize(const ReplyObject& reply) {
  std::size_t size = 2;
  for (std::size_t i = 0; i < reply.count; ++i) {
    const ReplyMember& member = reply.members[i];
    size += member.key.size() + 4;
    if (auto text = std::get_if<std::string_view>(&member.value)) size += text->size() + 2;
  }
  return size;
}

}  // namespace

ReplyObject buildReply(JsonObject message, const PolicyAction& policyAction) {
  ReplyObject reply;
  add(reply, "accepted", true);
  add(reply, "host", hostName);
  add(reply, "version", hostVersion);
  add(reply, "messageType", stringAt(message, "messageType").value_or("unknown"));
  add(reply, "requestId", stringAt(message, "requestId").value_or(""));
  add(reply, "policyAction", policyAction.action);
  if (policyAction.reason) add(reply, "reason", *policyAction.reason);
  return reply;
}

ReplyObject buildErrorReply(HostError error) {
  ReplyObject reply;
  add(reply, "accepted", false);
  add(reply, "reason", error == HostError::invalidJSONShape ? "invalid_json_shape" : "invalid_json");
  add(reply, "host", hostName);
  add(reply, "version", hostVersion);
  return reply;
}

bool encodeReply(const ReplyObject& reply, std::string& out) {
  out.clear();
  // Refuse a huge echo before writing megabytes of it.
  if (unescapedSize(reply) > maxReplySize) return false;
  out += '{';
  for (std::size_t i = 0; i < reply.count; ++i) {
    const ReplyMember& member = reply.members[i];
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

void encodeReplyText(const DecodedMessage& message, const std::optional<PolicyAction>& decision,
                     std::string& out) {
  auto object = std::get_if<JsonObject>(&message);
  ReplyObject reply =
      object && decision ? buildReply(*object, *decision) : buildErrorReply(std::get<HostError>(message));
  if (!encodeReply(reply, out)) out = "{}";
}

}  // namespace qorda
