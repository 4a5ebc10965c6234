// The request message as decoded JSON, and the typed lookups every reader of
// it uses: a key that is absent and a key of another JSON type count alike
// as absent.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>
#include <variant>

namespace qorda {

using JsonObject = simdjson::dom::object;
using JsonArray = simdjson::dom::array;

// The host's own error: the frame's JSON parsed but is not an object.
enum class HostError { invalidJSONShape };

// Why a frame body did not decode: the JSON parser's error, or a HostError.
using DecodeError = std::variant<simdjson::error_code, HostError>;

// Parses one frame body, which must have SIMDJSON_PADDING readable bytes after
// it. Only an object or an array decodes; an array is invalidJSONShape. A
// leading byte order mark is skipped. The result lives until the parser's
// next parse.
std::variant<JsonObject, DecodeError> decodeMessage(simdjson::dom::parser& parser, std::string_view body);

// text without a leading UTF-8 byte order mark, which is no part of JSON.
std::string_view withoutByteOrderMark(std::string_view text);

std::optional<JsonObject> objectAt(JsonObject object, std::string_view key);
std::optional<JsonArray> arrayAt(JsonObject object, std::string_view key);
std::optional<std::string_view> stringAt(JsonObject object, std::string_view key);
// Only JSON true and false are booleans; 0 and 1 are numbers.
std::optional<bool> boolAt(JsonObject object, std::string_view key);

// The string at object / outer / inner, when both levels have the right type.
std::optional<std::string_view> nestedStringAt(JsonObject object, std::string_view outer, std::string_view inner);

}  // namespace qorda
