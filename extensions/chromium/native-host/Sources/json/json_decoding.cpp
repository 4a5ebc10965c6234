#include "json_decoding.h"

namespace qorda {

std::string_view withoutByteOrderMark(std::string_view text) {
  static constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(byteOrderMark)) text.remove_prefix(byteOrderMark.size());
  return text;
}

DecodedMessage decodeMessage(simdjson::dom::parser& parser, std::string_view body) {
  // Skipped for parsing only: the body handed off keeps it.
  body = withoutByteOrderMark(body);
  simdjson::dom::element root;
  if (parser.parse(body.data(), body.size(), false).get(root)) return HostError::invalidJSON;
  switch (root.type()) {
    case simdjson::dom::element_type::OBJECT:
      return JsonObject(root);
    case simdjson::dom::element_type::ARRAY:
      return HostError::invalidJSONShape;
    default:
      // A bare scalar is no message at all, the same as text that is not JSON.
      return HostError::invalidJSON;
  }
}

}  // namespace qorda
