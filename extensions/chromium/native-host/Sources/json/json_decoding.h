// Decoding of JSON texts: the message of one frame, and the padding every
// text must carry so that the parser can read it in place.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string_view>
#include <variant>

namespace qorda {

using JsonObject = simdjson::dom::object;
using JsonArray = simdjson::dom::array;

// Readable bytes that every text handed to the parser has after its end.
inline constexpr std::size_t jsonTextPadding = 64;
static_assert(jsonTextPadding >= simdjson::SIMDJSON_PADDING);

// Why a frame body is no message: it is not JSON (a bare scalar included),
// or its JSON is not an object.
enum class HostError { invalidJSON, invalidJSONShape };

using DecodedMessage = std::variant<JsonObject, HostError>;

// Parses one frame body, which must have jsonTextPadding readable bytes after
// it. A leading byte order mark is skipped. The result lives until the
// parser's next parse.
DecodedMessage decodeMessage(simdjson::dom::parser& parser, std::string_view body);

// text without a leading UTF-8 byte order mark, which is no part of JSON.
std::string_view withoutByteOrderMark(std::string_view text);

}  // namespace qorda
