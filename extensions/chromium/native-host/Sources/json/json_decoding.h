// Decoding of a frame body into a message, by one parser kept from frame to
// frame.
#pragma once

#include "json_padding.h"
#include "message.h"

#include <simdjson.h>

#include <cstddef>
#include <string_view>
#include <variant>

namespace qorda {

// Why a frame body is no message: it is not JSON (a bare scalar included),
// or its JSON is not an object.
enum class HostError { invalidJSON, invalidJSONShape };

using DecodedMessage = std::variant<Message, HostError>;

// The parser and the size of the last body it parsed. Its buffers grow to
// several times the largest body parsed.
struct JsonDecoder {
  simdjson::dom::parser parser;
  std::size_t lastSize = 0;
};

// Decodes one frame body, which must have jsonTextPadding readable bytes
// after it. A leading byte order mark is skipped. The message's views live
// until the decoder's next decode or giveBackLargeBuffers.
DecodedMessage decodeMessage(JsonDecoder& decoder, std::string_view body);

// Frees the parser's buffers when the last body was over largestKeptBuffer.
void giveBackLargeBuffers(JsonDecoder& decoder);

// text without a leading UTF-8 byte order mark, which is no part of JSON.
std::string_view withoutByteOrderMark(std::string_view text);

}  // namespace qorda
