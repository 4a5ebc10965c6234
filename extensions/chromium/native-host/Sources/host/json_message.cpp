#include "json_message.h"

namespace qorda {

std::string_view withoutByteOrderMark(std::string_view text) {
  static constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(byteOrderMark)) text.remove_prefix(byteOrderMark.size());
  return text;
}

std::variant<JsonObject, DecodeError> decodeMessage(simdjson::dom::parser& parser, std::string_view body) {
  // Skipped for parsing only: the body handed off keeps it.
  body = withoutByteOrderMark(body);
  simdjson::dom::element root;
  if (auto error = parser.parse(body.data(), body.size(), false).get(root)) return DecodeError{error};
  switch (root.type()) {
    case simdjson::dom::element_type::OBJECT:
      return JsonObject(root);
    case simdjson::dom::element_type::ARRAY:
      return DecodeError{HostError::invalidJSONShape};
    default:
      // A bare scalar is no message at all, the same as text that is not JSON.
      return DecodeError{simdjson::TAPE_ERROR};
  }
}

std::optional<JsonObject> objectAt(JsonObject object, std::string_view key) {
  JsonObject value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<JsonArray> arrayAt(JsonObject object, std::string_view key) {
  JsonArray value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<std::string_view> stringAt(JsonObject object, std::string_view key) {
  std::string_view value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<bool> boolAt(JsonObject object, std::string_view key) {
  bool value;
  if (object.at_key(key).get(value)) return std::nullopt;
  return value;
}

std::optional<std::string_view> nestedStringAt(JsonObject object, std::string_view outer, std::string_view inner) {
  auto nested = objectAt(object, outer);
  return nested ? stringAt(*nested, inner) : std::nullopt;
}

}  // namespace qorda
