#include "reply.h"

namespace qorda {
namespace {

void add(ReplyObject& reply, std::string_view key, std::variant<bool, std::string_view> value) {
  reply.members[reply.count++] = {key, value};
}

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t plainStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plainStart, i - plainStart));
    plainStart = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(text.substr(plainStart));
  out += '"';
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

ReplyObject buildErrorReply(std::string_view reason) {
  ReplyObject reply;
  add(reply, "accepted", false);
  add(reply, "reason", reason);
  add(reply, "host", hostName);
  add(reply, "version", hostVersion);
  return reply;
}

std::string_view errorReason(const DecodeError& error) {
  auto hostError = std::get_if<HostError>(&error);
  return hostError && *hostError == HostError::invalidJSONShape ? "invalid_json_shape" : "invalid_json";
}

bool encodeReply(const ReplyObject& reply, std::string& out) {
  out.clear();
  // Refuse a huge echo before writing megabytes of it.
  if (unescapedSize(reply) > maxReplySize) return false;
  out += '{';
  for (std::size_t i = 0; i < reply.count; ++i) {
    const ReplyMember& member = reply.members[i];
    if (i > 0) out += ',';
    appendEscaped(out, member.key);
    out += ':';
    if (auto flag = std::get_if<bool>(&member.value)) out += *flag ? "true" : "false";
    else appendEscaped(out, std::get<std::string_view>(member.value));
  }
  out += '}';
  return out.size() <= maxReplySize;
}

}  // namespace qorda
