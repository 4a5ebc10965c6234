// The built host through real pipes, as a browser runs it. Each row of the
// table is a world (policy file, session bus), the bytes sent, and what the
// replies, the inbox and the bus must show afterwards; what needs
// choreography (one host through faults, hosts at once) follows the table.
#include "blackbox_fixtures.h"

#include <functional>

namespace qorda::test {
namespace {

// "takeover", "blocked:REASON" or "bypass:REASON", each with an optional
// "#REQUEST_ID"; "!REASON" for an error reply; a text starting with "{" as is.
std::string expectedReply(const std::string& form) {
  const std::string host = R"("host":"qorda-native-host","version":"0.0.1")";
  if (form.starts_with('{')) return form;
  if (form.starts_with('!')) return R"({"accepted":false,"reason":")" + form.substr(1) + "\"," + host + "}";
  std::size_t hash = std::min(form.find('#'), form.size()), colon = std::min(form.find(':'), hash);
  std::string reply = R"({"accepted":true,)" + host + R"(,"messageType":"unknown","requestId":")" +
                      form.substr(std::min(hash + 1, form.size())) + R"(","policyAction":")" +
                      form.substr(0, colon);
  return reply + (colon < hash ? R"(","reason":")" + form.substr(colon + 1, hash - colon - 1) : "") + "\"}";
}

std::string intent(const std::string& json) { return R"({"payload":{"intent":)" + json + "}}"; }

// A request for url of type video/mp4; extra members join the intent.
std::string media(const std::string& url, const std::string& extra = "") {
  return intent(R"({"resource":{"url":")" + url + R"(","mimeType":"video/mp4"})" + extra + "}");
}
std::string page(const std::string& url) { return R"(,"sourceContext":{"pageUrl":")" + url + "\"}"; }
std::string request(const std::string& id) { return R"({"requestId":")" + id + "\"}"; }

struct Case {
  const char* name;
  std::string input;                                      // the host's standard input
  std::vector<std::string> replies;                       // in the form of expectedReply
  std::string policy;                                     // published before the host starts, unless empty
  std::function<void(Sandbox&)> setUp = [](Sandbox&) {};  // after the policy is published
  Bus bus = Bus::none;
  // The payloads in the inbox after, in id order, and each capture signal's
  // entries after "payload=". Unless given, every body answered "takeover"
  // (or "{}", a takeover whose reply is too large) and nothing else, in
  // order; signalled where a bus answers.
  std::optional<std::vector<std::string>> inbox, signals;
  int starts = 0;  // launches of the application
  // Called before each frame, which then goes alone and is answered first.
  std::function<void(Sandbox&, std::size_t)> before;
  bool closedOutput = false;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The pairs as the row's frames and replies.
Case exchange(Case c, const std::vector<std::pair<std::string, std::string>>& pairs) {
  for (const auto& [message, reply] : pairs) c.input += frame(message), c.replies.push_back(reply);
  return c;
}

const std::string hardPolicy = R"({"hardBlockedHosts":["hard.example"]})",
                  hardMessage = media("https://hard.example/v");
const std::string hardBlocked = "blocked:hard_blocked_site", remoteBypass = "bypass:remote_bypass_site";
const std::string takeoverText =
    "{ \"requestId\": \"t1\",\n \"payload\": {\"intent\": {\"resource\": {\"url\": \"https://a/v\"}}} }";

// Bodies of 500,000 and 200,006 bytes and five short ones, each blocked
// before any policy is read, in one stream.
Case longBodies(const char* name) {
  Case c{.name = name};
  for (std::size_t size : {500'000, 200'006, 60, 70'000, 61, 65'536, 62}) {
    std::string head = R"({"payload":{"intent":{}},"requestId":")" + std::to_string(size) + R"(","filler":")";
    c.input += frame(head + std::string(size - head.size() - 2, 'f') + "\"}");
    c.replies.push_back("blocked:unsupported_scheme#" + std::to_string(size));
  }
  return c;
}

const Case cases[] = {
    // Framing: what ends the input (partial headers and bodies, any header: the fuzzers),
    // and how it arrives.
    {.name = "framing_empty_input"},
    // An empty body among them, and a partial header after the last.
    {.name = "framing_errors_then_the_next",
     .input = frames({request("a"), "[1]", "", "{\"a\":\"\xff\"}", request("b")}) + "\x02",
     .replies = {"takeover#a", "!invalid_json_shape", "!invalid_json", "!invalid_json", "takeover#b"}},
    longBodies("framing_long_bodies_in_one_write"),
    // The capture is handed off before the reply, whose write then fails.
    {.name = "framing_closed_output", .input = frames({"{}", "[]"}), .inbox = {{"{}"}}, .closedOutput = true},
    exchange({.name = "reply_too_large_then_the_next"},
             {{request(std::string(1 << 20, 'x')), "{}"}, {request(R"(n\"\\)"), R"(takeover#n\"\\)"}}),

    // Decisions, through the policy file.
    exchange(
        {.name = "decisions",
         .policy = R"({"hardBlockedHosts": ["hard.example"], "userDenyHosts": ["DENIED.example"],
                "remoteBypassHosts": [" www.remote.example\n"], "bypassRules": [{"scope": "pathPrefix",
                "pattern": "https://f.example/free/"}]})"},
        {{media("https://a.example/v",
                R"(,"policyHints":{"drmSuspected":"true"},"classification":{"deliveryType":"websocket"})"),
          "takeover"},
         {intent(R"({"policyHints":{"drmSuspected":true},"resource":{"url":"ftp://a/b"}})"),
          "blocked:drm_suspected"},
         {intent(R"({"classification":{"deliveryType":"websocket_custom_transport"}})"),
          "blocked:websocket_transport"},
         {intent(R"({"resource":{"url":"https://a/p","mimeType":"text/html"}})"), "blocked:non_media_mime"},
         {media("https://video.hard.example/v.mp4"), hardBlocked},
         {media("https://www.denied.example/v.mp4"), "blocked:user_denied_site"},
         {media("https://cdn.example/v.mp4", page("https://remote.example/")), remoteBypass},
         {media("https://WWW.f.example/free/b|c.mp4", R"(,"detection":{"signalType":"Direct_URL"})"),
          "bypass:user_bypass_rule"}}),

    // Read again whenever the file may have changed; a file that cannot serve
    // is the empty policy, never a hang.
    {.name = "policy_file_of_every_kind_between_frames_of_one_host",
     .input = frames(std::vector(10, hardMessage)),
     .replies = {hardBlocked, "takeover", "takeover", hardBlocked, "takeover", "takeover", "takeover",
                 "takeover", "takeover", hardBlocked},
     .policy = hardPolicy,
     .before =
         [](Sandbox& s, std::size_t i) {
           const std::function<void()> kinds[] = {
               [] {},
               [&] { s.publish(R"({"hardBlockedHosts":["other.example"]})"); },
               [&] { fs::remove(s.policyPath); },
               [&] { s.publish(hardPolicy); },
               [&] { fs::remove(s.policyPath), ::mkfifo(s.policyPath.c_str(), 0600); },
               [&] { fs::remove(s.policyPath), fs::create_directory(s.policyPath); },
               [&] { fs::remove(s.policyPath), fs::create_symlink(s.root / "gone", s.policyPath); },
               [&] {
                 fs::remove(s.policyPath), s.publish(hardPolicy),
                     fs::permissions(s.policyPath, fs::perms::none);
               },
               [&] { s.publish(hardPolicy), fs::resize_file(s.policyPath, 1ull << 40); },
               [&] { s.publish(hardPolicy); },
           };
           kinds[i]();
         }},
    {.name = "policy_without_runtime_directory",
     .input = frame(hardMessage),
     .replies = {"takeover"},
     .policy = hardPolicy,
     .setUp = [](Sandbox&) { ::unsetenv("XDG_RUNTIME_DIR"); }},

    // The hand-off: inbox, launch and signal, whatever the bus is.
    {.name = "handoff_installed_not_running",
     .input =
         frames({takeoverText, "\xEF\xBB\xBF{}", media("ftp://a/v"), media("https://skip.example/v"), "[1]"}),
     .replies = {"takeover#t1", "takeover", "blocked:unsupported_scheme", remoteBypass,
                 "!invalid_json_shape"},
     .policy = R"({"remoteBypassHosts":["skip.example"]})",
     .bus = Bus::notRunning,
     .starts = 1},
    // One bounded wait per back-off, not one per takeover: forty half-second
    // waits would miss the deadline.
    {.name = "handoff_bus_never_answers",
     .input = frames(std::vector<std::string>(40, "{}")),
     .replies = std::vector<std::string>(40, "takeover"),
     .bus = Bus::frozen},
    {.name = "handoff_noncharacters_reach_the_bus_replaced",
     .input = frame("{\"t\":\"a\xEF\xBF\xBF b\xEF\xB7\x90 c\xF0\x9F\xBF\xBE\"}"),
     .replies = {"takeover"},
     .bus = Bus::running,
     .signals = {{"{\"t\":\"a\xEF\xBF\xBD b\xEF\xBF\xBD "
                  "c\xEF\xBF\xBD\"}\x1fpayloadAltered=noncharacters_replaced"}}},
};

class BlackBox : public testing::TestWithParam<Case> {};

TEST_P(BlackBox, Run) {
  const Case& c = GetParam();
  Sandbox sandbox;
  sandbox.startBus(c.bus);
  if (!c.policy.empty()) sandbox.publish(c.policy);
  c.setUp(sandbox);
  Host host;
  if (c.closedOutput) ::close(std::exchange(host.output, -1));
  std::vector<std::string> expected, takeovers, signalled, replies, payloads, bodies;
  for (std::string input = c.input; auto body = takeFrame(input);) bodies.push_back(*body);
  for (std::size_t i = 0; c.before && i < bodies.size(); ++i) {
    c.before(sandbox, i);
    host.send(frame(bodies[i]));
    replies.push_back(host.reply().value_or("[no reply]"));
  }
  for (std::string& reply : host.finish(c.before ? "" : c.input)) replies.push_back(std::move(reply));
  for (std::size_t i = 0; i < c.replies.size(); ++i) {
    expected.push_back(expectedReply(c.replies[i]));
    if (expected[i].find(R"("policyAction":"takeover")") != std::string::npos || expected[i] == "{}")
      takeovers.push_back(bodies.at(i));
  }
  EXPECT_EQ(expected, replies);
  for (auto& [id, payload] : sandbox.inbox()) payloads.push_back(payload);
  EXPECT_TRUE(c.inbox.value_or(takeovers) == payloads) << testing::PrintToString(payloads).substr(0, 2000);
  for (const std::string& text :
       c.signals.value_or(c.bus > Bus::none && c.bus < Bus::frozen ? takeovers : signalled))
    signalled.push_back("payload=" + text);
  EXPECT_EQ(signalled, sandbox.signals(signalled.size()));
  auto starts = [&] { return std::ranges::count(sandbox.record("starts"), '\n'); };
  eventually([&] { return starts() >= c.starts; });
  EXPECT_EQ(c.starts, starts()) << "launches of the application";
}

INSTANTIATE_TEST_SUITE_P(Rows, BlackBox, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

// One host for a whole browser session, through passing faults of the store
// and the bus: after each fault a capture, after each repair another. Each is
// answered as ever, and is in the inbox exactly once, or, while the store
// cannot be written, in its signal alone.
enum class Signal { none, atOnce, onceResumed };

TEST(BlackBoxLongLived, OneHostThroughPassingFaults) {
  Sandbox sandbox;
  sandbox.startBus(Bus::running);
  Host host(90);
  std::vector<std::string> signals;
  auto capture = [&, captures = 0](bool stored, Signal signalled) mutable {
    std::string id = std::to_string(captures++), body = request(id);
    host.send(frame(body));
    EXPECT_EQ(expectedReply("takeover#" + id), host.reply().value_or("[no reply]"));
    std::vector<std::string> drained;
    for (auto& [rowId, payload] : stored ? sandbox.inbox(true) : Rows{}) drained.push_back(payload);
    EXPECT_EQ(stored ? std::vector{body} : drained, drained) << "capture " << id;
    if (signalled == Signal::atOnce) signals.push_back("payload=" + body);
    EXPECT_EQ(signals, sandbox.signals(signals.size())) << "capture " << id;
    return body;
  };
  const fs::path store = sandbox.databasePath, folder = store.parent_path();
  auto replaceTable = [&](const std::string& drop, const std::string& create) {
    return [=] { execute(openDatabase(store), drop + " capture_inbox_payloads; " + create); };
  };
  const std::string inboxTable =
      "CREATE TABLE capture_inbox_payloads(id INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL)";
  auto sleep = [](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); };
  Database reader{nullptr, &sqlite3_close_v2}, writer{nullptr, &sqlite3_close_v2};
  std::jthread release;
  long peakBeforeFlood = 0;
  const struct {
    const char* name;
    std::function<void()> fault, repair;
    bool storedMeanwhile = false;
    Signal signalledMeanwhile = Signal::atOnce;
  } faults[] = {
      {"store deleted", [&] { fs::remove_all(folder); }, [] {}, true},
      {"not a database",
       [&] {
         fs::remove_all(folder), fs::create_directory(folder), std::ofstream(store) << std::string(4096, 'n');
       },
       [&] { fs::remove_all(folder); }},
      {"view in place of the table",
       replaceTable("DROP TABLE",
                    "CREATE VIEW capture_inbox_payloads AS SELECT 1 AS id, 'x' AS payload WHERE 0"),
       replaceTable("DROP VIEW", inboxTable)},
      // The signal waits in the socket, and the bus delivers it once resumed.
      {"bus frozen for a second", [&] { ::kill(sandbox.bus, SIGSTOP); },
       [&] { sleep(1000), ::kill(sandbox.bus, SIGCONT); }, true, Signal::onceResumed},
      // The host leaves a bus that let its wait run out alone for two seconds;
      // the new application floods the bus name that the host's next signal
      // comes from.
      {"bus killed, another started on the same socket and frozen for a second",
       [&] { sandbox.stopBus(), sandbox.startBus(Bus::frozen); },
       [&] { sleep(1000), ::kill(sandbox.bus, SIGCONT), sandbox.startApplication("flood"), sleep(1200); },
       true, Signal::none},
      {"a peer floods the host",
       [&] {
         EXPECT_TRUE(eventually([&] { return !sandbox.record("flooded").empty(); }, 30));
         peakBeforeFlood = host.peakKilobytes();
       },
       [] {}, true},
      // The host learns from the bus that the application went, and has the
      // bus start it once; the started one owns the name but does not listen.
      {"application quits",
       [&] { ::kill(sandbox.application, SIGTERM), ::waitpid(sandbox.application, nullptr, 0), sleep(200); },
       [&] {
         EXPECT_TRUE(eventually([&] { return !sandbox.record("starts").empty(); }));
         sandbox.startApplication("listen");
       },
       true, Signal::none},
      // A read transaction throughout, and the write lock for a second: the
      // host waits for the lock, not for the reader.
      {"application reading, and writing for a second",
       [&] {
         reader = openDatabase(store), execute(reader, "BEGIN; SELECT count(*) FROM capture_inbox_payloads");
         execute(writer = openDatabase(store), "BEGIN IMMEDIATE");
         release = std::jthread([&] { sleep(1000), execute(writer, "COMMIT"); });
       },
       [&] { reader.reset(); }, true},
  };
  capture(true, Signal::atOnce);
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    fault.fault();
    std::string body = capture(fault.storedMeanwhile, fault.signalledMeanwhile);
    fault.repair();
    if (fault.signalledMeanwhile == Signal::onceResumed) signals.push_back("payload=" + body);
    capture(true, Signal::atOnce);
  }
  EXPECT_EQ("started\n", sandbox.record("starts")) << "launches of the application";
  EXPECT_LT(host.peakKilobytes() - peakBeforeFlood, 16 * 1024) << "KiB of peak resident memory gained";
  host.finish();
}

}  // namespace
}  // namespace qorda::test
