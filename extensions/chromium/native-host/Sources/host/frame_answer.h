// Everything one frame causes, from its body to the text of its reply.
#pragma once

#include <simdjson.h>

#include <string>
#include <string_view>

namespace qorda {

// Decodes body, evaluates it, hands a takeover off, and returns the reply
// text, which stays valid in replyText until the next call. body must have
// SIMDJSON_PADDING readable bytes after it.
std::string_view answerFrame(simdjson::dom::parser& parser, std::string_view body, std::string& replyText);

}  // namespace qorda
