// The built host, driven through real pipes: framing, replies and every
// decision, with the policy published in a temporary runtime directory.
#include "host_process.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace qorda::test {
namespace {

namespace fs = std::filesystem;

// A reply's members, booleans written as true and false.
using Members = std::map<std::string, std::string>;

Members membersOf(const std::string& reply) {
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  Members members;
  if (parser.parse(reply).get(object)) {
    ADD_FAILURE() << "reply is not a JSON object: " << reply;
    return members;
  }
  for (auto [key, value] : object) {
    if (value.is_bool()) members[std::string(key)] = bool(value) ? "true" : "false";
    else if (value.is_string()) members[std::string(key)] = std::string(std::string_view(value));
    else ADD_FAILURE() << "member " << key << " is neither string nor boolean: " << reply;
  }
  return members;
}

Members errorReply(const std::string& reason) {
  return {{"accepted", "false"}, {"reason", reason}, {"host", "qorda-native-host"}, {"version", "0.0.1"}};
}

std::string intentMessage(const std::string& intent) { return R"({"payload":{"intent":)" + intent + "}}"; }

const std::string videoIntent = R"({"resource":{"url":"https://cdn.example.com/v.mp4","mimeType":"video/mp4"}})";

class HostBlackBox : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qorda-blackbox-XXXXXX";
    root_ = ::mkdtemp(pattern);
    fs::create_directories(root_ / "run");
    environment_ = {{"XDG_RUNTIME_DIR", (root_ / "run").string()},
                    {"XDG_DATA_HOME", (root_ / "data").string()},
                    {"HOME", root_.string()},
                    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root_ / "no-bus").string()}};
  }
  void TearDown() override { fs::remove_all(root_); }

  void publishPolicy(const std::string& text) {
    fs::path temporary = root_ / "run" / "policy.tmp";
    std::ofstream(temporary, std::ios::binary) << text;
    fs::rename(temporary, root_ / "run" / "com.velmox.qorda.policy");
  }

  // Runs the host over input and expects a quiet, clean exit.
  std::vector<std::string> repliesTo(std::string_view input, std::size_t chunkSize = 1 << 16) {
    HostRun run = runHost(input, environment_, chunkSize);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ("", run.errors);
    return framesIn(run.output);
  }

  Members replyTo(const std::string& message) {
    auto replies = repliesTo(frame(message));
    if (replies.size() != 1) {
      ADD_FAILURE() << "expected one reply to " << message;
      return {};
    }
    return membersOf(replies[0]);
  }

  fs::path root_;
  Environment environment_;
};

TEST_F(HostBlackBox, FramingEdges) {
  const std::string valid = frame("{}");
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> reasons;  // per reply; "" for an accepted one
  } cases[] = {
      {"empty input", "", {}},
      {"partial header", std::string("\x05\x00\x00", 3), {}},
      {"partial body", std::string("\x0a\x00\x00\x00", 4) + "123456789", {}},
      {"zero length then a frame", std::string(4, '\0') + valid, {"invalid_json", ""}},
      {"two frames in one write", valid + valid, {"", ""}},
      {"16 MiB header then end", std::string("\x00\x00\x00\x01", 4), {}},
      {"frame then partial header", valid + "\x02", {""}},
  };
  for (const Case& c : cases) {
    auto replies = repliesTo(c.input);
    ASSERT_EQ(c.reasons.size(), replies.size()) << c.name;
    for (std::size_t i = 0; i < replies.size(); ++i) {
      Members members = membersOf(replies[i]);
      EXPECT_EQ(c.reasons[i].empty() ? "true" : "false", members["accepted"]) << c.name;
      if (!c.reasons[i].empty()) {
        EXPECT_EQ(errorReply(c.reasons[i]), members) << c.name;
      }
    }
  }
}

TEST_F(HostBlackBox, HugeAnnouncedLengthCostsOnlyWhatArrives) {
  HostRun run = runHost(std::string("\xff\xff\xff\xff", 4) + std::string(1 << 20, ' '), environment_);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.output);
  EXPECT_EQ("", run.errors);
  EXPECT_LT(run.peakResidentKilobytes, 64 * 1024) << "a 4 GiB header must not allocate 4 GiB";
}

TEST_F(HostBlackBox, InputInPiecesGivesTheSameReplies) {
  std::string input = frame(R"({"requestId":"a"})") + frame("[1]") + frame(intentMessage(videoIntent));
  auto whole = repliesTo(input);
  ASSERT_EQ(3u, whole.size());
  for (std::size_t chunk : {1, 3, 5, 7}) EXPECT_EQ(whole, repliesTo(input, chunk)) << "chunks of " << chunk;
}

// One of each kind; the decoding unit test has the full table.
TEST_F(HostBlackBox, UndecodableBodiesGetErrorRepliesAndTheLoopGoesOn) {
  struct Case {
    std::string body;
    const char* reason;
  } cases[] = {
      {"[1,2]", "invalid_json_shape"},
      {"\"ping\"", "invalid_json"},
      {"{\"a\":", "invalid_json"},
      {"", "invalid_json"},
      {std::string(100000, '['), "invalid_json"},
  };
  for (const Case& c : cases) {
    auto replies = repliesTo(frame(c.body) + frame(R"({"requestId":"next"})"));
    ASSERT_EQ(2u, replies.size()) << c.body.substr(0, 40);
    EXPECT_EQ(errorReply(c.reason), membersOf(replies[0])) << c.body.substr(0, 40);
    EXPECT_EQ("next", membersOf(replies[1])["requestId"]);
  }
}

TEST_F(HostBlackBox, EchoesOnlyStringTypeAndId) {
  struct Case {
    const char* message;
    const char* messageType;
    const char* requestId;
  } cases[] = {
      {R"({"messageType":"ping","requestId":"r1"})", "ping", "r1"},
      {R"({"messageType":5,"requestId":42})", "unknown", ""},
      {R"({"messageType":null,"requestId":["r"]})", "unknown", ""},
      {R"({})", "unknown", ""},
      {R"({"messageType":"a\"b\\c\n\u0001","requestId":"\u00e9"})", "a\"b\\c\n\x01", "\xc3\xa9"},
  };
  for (const Case& c : cases) {
    Members members = replyTo(c.message);
    EXPECT_EQ(c.messageType, members["messageType"]) << c.message;
    EXPECT_EQ(c.requestId, members["requestId"]) << c.message;
    EXPECT_EQ("true", members["accepted"]);
    EXPECT_EQ("qorda-native-host", members["host"]);
    EXPECT_EQ("0.0.1", members["version"]);
  }
}

TEST_F(HostBlackBox, EveryDecisionThroughThePolicyFile) {
  publishPolicy(R"({
    "hardBlockedHosts": ["hard.example", "both.example"],
    "userDenyHosts": ["DENIED.example", "both.example", "denied-and-bypassed.example"],
    "remoteBypassHosts": [" www.remote.example\n", "denied-and-bypassed.example"],
    "bypassRules": [
      {"scope": "hostAll", "pattern": "  WWW.HostRule.Example "},
      {"scope": "hostAll", "pattern": "off.example", "enabled": false},
      {"scope": "exactURL", "pattern": "https://files.example/a.mp4?x=1"},
      {"scope": "pathPrefix", "pattern": "https://files.example/free/"}
    ]})");
  auto intent = [](const std::string& url, const std::string& extra = "") {
    return R"({"resource":{"url":")" + url + R"(","mimeType":"video/mp4"})" + extra + "}";
  };
  const std::string direct = R"(,"detection":{"signalType":"Direct_URL"})";
  struct Case {
    std::string message;
    const char* action;
    const char* reason;  // "" for none
  } cases[] = {
      {"{}", "takeover", ""},
      {R"({"payload":"x"})", "takeover", ""},
      {R"({"payload":{"intent":[]}})", "takeover", ""},
      {intentMessage("{}"), "blocked", "unsupported_scheme"},
      {intentMessage(R"({"policyHints":{"drmSuspected":true},"resource":{"url":"ftp://a/b"}})"), "blocked",
       "drm_suspected"},
      {intentMessage(R"({"policyHints":{"drmSuspected":1},"resource":{"url":"https://a.example/b"}})"), "takeover",
       ""},
      {intentMessage(R"({"classification":{"deliveryType":"websocket_custom_transport"}})"), "blocked",
       "websocket_transport"},
      {intentMessage(R"({"resource":{"url":"blob:https://a.example/1"}})"), "blocked", "unsupported_scheme"},
      {intentMessage(R"({"resource":{"url":"https://hard.example/p","mimeType":"text/html"}})"), "blocked",
       "non_media_mime"},
      {intentMessage(intent("https://video.hard.example/v.mp4")), "blocked", "hard_blocked_site"},
      {intentMessage(intent("https://both.example/v.mp4")), "blocked", "hard_blocked_site"},
      {intentMessage(intent("https://www.denied.example/v.mp4")), "blocked", "user_denied_site"},
      {intentMessage(intent("https://denied-and-bypassed.example/v")), "blocked", "user_denied_site"},
      {intentMessage(intent("https://cdn.example/v.mp4", R"(,"sourceContext":{"pageUrl":"https://remote.example/"})")),
       "bypass", "remote_bypass_site"},
      {intentMessage(intent("https://sub.hostrule.example/v.mp4")), "bypass", "user_bypass_rule"},
      {intentMessage(intent("https://off.example/v.mp4")), "takeover", ""},
      {intentMessage(intent("https://files.example/a.mp4?x=1#t=5", direct)), "bypass", "user_bypass_rule"},
      {intentMessage(intent("https://files.example/a.mp4?x=1")), "takeover", ""},
      {intentMessage(intent("https://WWW.files.example/free/b|c.mp4", direct)), "bypass", "user_bypass_rule"},
      {intentMessage(intent("https://files.example:443/free/b.mp4", direct)), "takeover", ""},
      {intentMessage(intent("https://myhard.example/v.mp4")), "takeover", ""},
  };
  for (const Case& c : cases) {
    Members members = replyTo(c.message);
    EXPECT_EQ(c.action, members["policyAction"]) << c.message;
    EXPECT_EQ(c.reason, members.count("reason") ? members["reason"] : "") << c.message;
    EXPECT_EQ("true", members["accepted"]) << c.message;
  }
}

TEST_F(HostBlackBox, UnusablePolicyFilesGiveTheEmptyPolicy) {
  const std::string blockedHere = intentMessage(R"({"resource":{"url":"https://hard.example/v.mp4"}})");
  const std::string policy = R"({"hardBlockedHosts":["hard.example"]})";
  publishPolicy(policy);
  ASSERT_EQ("blocked", replyTo(blockedHere)["policyAction"]);
  fs::path path = root_ / "run" / "com.velmox.qorda.policy";
  struct Case {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"absent", [&] { fs::remove(path); }},
      {"a directory", [&] { fs::create_directory(path); }},
      {"a FIFO", [&] { ::mkfifo(path.c_str(), 0600); }},
      {"a dangling link", [&] { fs::create_symlink(root_ / "gone", path); }},
      {"not UTF-8", [&] { std::ofstream(path) << R"({"hardBlockedHosts":["hard.example","\xff"]})"; }},
      {"not an object", [&] { std::ofstream(path) << R"([{"hardBlockedHosts":["hard.example"]}])"; }},
      {"no runtime directory", [&] { environment_["XDG_RUNTIME_DIR"] = ""; }},
  };
  for (const Case& c : cases) {
    fs::remove_all(path);
    c.make();
    EXPECT_EQ("takeover", replyTo(blockedHere)["policyAction"]) << c.name;
  }
}

TEST_F(HostBlackBox, SnapshotReplacedBetweenTwoFramesAppliesToTheSecond) {
  const std::string message = intentMessage(R"({"resource":{"url":"https://switch.example/v.mp4"}})");
  HostProcess host = startHost(environment_);
  sendBytes(host, frame(message));
  EXPECT_EQ("takeover", membersOf(readReply(host).value_or(""))["policyAction"]);
  publishPolicy(R"({"userDenyHosts":["switch.example"]})");
  sendBytes(host, frame(message));
  EXPECT_EQ("user_denied_site", membersOf(readReply(host).value_or(""))["reason"]);
  publishPolicy("{}");
  sendBytes(host, frame(message));
  EXPECT_EQ("takeover", membersOf(readReply(host).value_or(""))["policyAction"]);
  HostRun run = finishHost(host);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.errors);
}

TEST_F(HostBlackBox, OversizedReplyIsSentAsEmptyObjectAndThePortSurvives) {
  std::string hugeId(1 << 20, 'x');
  auto replies = repliesTo(frame(R"({"requestId":")" + hugeId + R"("})") + frame(R"({"requestId":"after"})"));
  ASSERT_EQ(2u, replies.size());
  EXPECT_EQ("{}", replies[0]);
  EXPECT_EQ("after", membersOf(replies[1])["requestId"]);
}

TEST_F(HostBlackBox, ClosedOutputEndsTheHostQuietly) {
  HostProcess host = startHost(environment_);
  ::close(host.output);
  host.output = -1;
  sendBytes(host, frame("{}") + frame("{}"));
  HostRun run = finishHost(host);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.errors);
}

}  // namespace
}  // namespace qorda::test
