// The built host through real pipes, as a browser runs it. Each row of the
// table is a world (policy file, session bus, inbox store), the bytes sent,
// and what the replies, the inbox and the bus must show afterwards; what
// needs choreography (hosts at once, kills, a flood) follows the table.
#include "blackbox_fixtures.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>

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

// Resources whose hosts have 200,000 labels and more, in turn under
// deep.example and not; each body is longer than the one before.
std::string deepHostFrames() {
  std::string labels, input;
  for (int i = 0; i < 200'000; ++i) labels += "a.";
  for (int i = 0; i < 5; ++i, labels += "b.")
    input += frame(media("https://" + labels + (i % 2 ? "o" : "deep") + ".example/"));
  return input;
}

std::string hostsPolicy(std::size_t count, const std::string& last) {
  std::string policy = R"({"userDenyHosts":[)";
  for (std::size_t i = 0; i < count; ++i) policy += "\"host-" + std::to_string(i) + ".example\",";
  return policy + "\"" + last + "\"]}";
}

struct Case {
  const char* name;
  std::string input;                 // the host's standard input
  std::vector<std::string> replies;  // in the form of expectedReply
  std::string policy;                // published before the host starts, unless empty
  PolicyFile policyFile = PolicyFile::text;
  Bus bus = Bus::none;
  Store store = Store::fresh;
  std::vector<std::string> seed;     // inbox rows before the host starts
  std::vector<std::string> inbox;    // the payloads after, in id order; checked unless empty
  std::vector<std::string> signals;  // each capture signal's entries after "payload="; checked unless empty
  int starts = 0;                    // launches of the application, with a bus
  std::vector<std::size_t> pieces;   // sizes of the writes, in turn
  // Called before each frame, which then goes alone and is answered first.
  std::function<void(Sandbox&, std::size_t)> before;
  bool oneHostPerFrame = false,
       closedOutput = false;  // also each frame through a host of its own; stdout closed
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The pairs as the row's frames and replies.
Case exchange(Case c, const std::vector<std::pair<std::string, std::string>>& pairs) {
  for (const auto& [message, reply] : pairs) c.input += frame(message), c.replies.push_back(reply);
  return c;
}

const std::string decisionPolicy = R"({
  "hardBlockedHosts": ["hard.example", "both.example", "blocked.example"],
  "userDenyHosts": ["DENIED.example", "both.example", "denied-and-bypassed.example"],
  "remoteBypassHosts": [" www.remote.example\n", "denied-and-bypassed.example"],
  "bypassRules": [{"scope": "hostAll", "pattern": "  WWW.HostRule.Example "},
    {"scope": "hostAll", "pattern": "off.example", "enabled": false},
    {"scope": "exactURL", "pattern": "https://files.example/a.mp4?x=1"},
    {"scope": "pathPrefix", "pattern": "https://files.example/free/"},
    {"scope": "pathPrefix", "pattern": "https://files.example:99999/"},
    {"scope": "hostAll", "pattern": "remote.example"}, {"scope": "HostAll", "pattern": "caps.example"}]})";
const std::string direct = R"(,"detection":{"signalType":"Direct_URL"})";
const std::string hardPolicy = R"({"hardBlockedHosts":["hard.example"]})";
const std::string hardMessage = media("https://hard.example/v.mp4");
const std::string onA = media("https://a.example/v"), onB = media("https://b.example/v"),
                  bom = "\xEF\xBB\xBF{}";
const std::string hardBlocked = "blocked:hard_blocked_site", denied = "blocked:user_denied_site";
const std::string bypassRule = "bypass:user_bypass_rule", remoteBypass = "bypass:remote_bypass_site";
const std::string takeoverText =
    "{ \"requestId\": \"t1\",\n  \"payload\": {\"intent\": {\"resource\": "
    "{\"url\": \"https://cdn.example/v.mp4\", \"mimeType\": \"video/mp4\"}}} }";
const std::string withNoncharacters = "{\"title\":\"a\xEF\xBF\xBF b\xEF\xB7\x90 c\xF0\x9F\xBF\xBE\"}";

// Bodies of 500,000 and 200,006 bytes and five short ones, each blocked
// before any policy is read, in one stream written in pieces of the sizes given.
Case longBodies(const char* name, std::vector<std::size_t> pieces) {
  Case c{.name = name, .pieces = pieces};
  for (std::size_t size : {500'000, 200'006, 60, 70'000, 61, 65'536, 62}) {
    std::string head = R"({"payload":{"intent":{}},"requestId":")" + std::to_string(size) + R"(","filler":")";
    c.input += frame(head + std::string(size - head.size() - 2, 'f') + "\"}");
    c.replies.push_back("blocked:unsupported_scheme#" + std::to_string(size));
  }
  return c;
}

// A store fault before the first frame, repaired (where the sandbox can)
// before the second.
Case storeFault(const char* name, Store store) {
  return {.name = name,
          .input = frames({request("0"), request("1")}),
          .replies = {"takeover#0", "takeover#1"},
          .store = store,
          .inbox = {request("1")},
          .before = [](Sandbox& sandbox, std::size_t i) {
            if (i == 1) sandbox.repairStore();
          }};
}

// Three messages that the policy would block, each reaching the policy file.
Case policyFileCase(const char* name, PolicyFile kind, const std::string& policy = hardPolicy) {
  return {.name = name,
          .input = frames({hardMessage, hardMessage, hardMessage}),
          .replies = {"takeover", "takeover", "takeover"},
          .policy = policy,
          .policyFile = kind};
}

const Case cases[] = {
    // Framing: what ends the input, and how it arrives.
    {.name = "framing_empty_input"},
    {.name = "framing_partial_header", .input = std::string("\x05\x00\x00", 3)},
    {.name = "framing_partial_body", .input = std::string("\x0a\x00\x00\x00", 4) + "123456789"},
    {.name = "framing_16MiB_header_then_end", .input = std::string("\x00\x00\x00\x01", 4)},
    {.name = "framing_4GiB_header_then_1MiB_then_end",
     .input = "\xff\xff\xff\xff" + std::string(1 << 20, ' ')},
    // An empty body among them, and a partial header after the last.
    {.name = "framing_in_pieces_of_1_3_5_7_bytes",
     .input = frames({request("a"), "[1]", "", hardMessage}) + "\x02",
     .replies = {"takeover#a", "!invalid_json_shape", "!invalid_json", "takeover"},
     .pieces = {1, 3, 5, 7}},
    longBodies("framing_long_bodies_in_one_write", {}),
    longBodies("framing_long_bodies_split_at_odd_offsets", {65'537, 3, 1}),
    {.name = "framing_closed_output", .input = frames({"{}", "{}"}), .closedOutput = true},
    exchange({.name = "decoding_errors_then_the_next_frame"},
             {{"[1,2]", "!invalid_json_shape"},
              {"\"ping\"", "!invalid_json"},
              {R"({"a":)", "!invalid_json"},
              {"", "!invalid_json"},
              {std::string(100'000, '['), "!invalid_json"},
              {"{\"a\":\"\xff\"}", "!invalid_json"},
              {R"({"n":123456789012345678901234567890})", "!invalid_json"},
              {request("next"), "takeover#next"}}),
    exchange({.name = "reply_echoes_only_string_type_and_id"},
             {{R"({"messageType":"p\"","requestId":"r1"})",
               R"({"accepted":true,"host":"qorda-native-host","version":)"
               R"("0.0.1","messageType":"p\"","requestId":"r1","policyAction":)"
               R"("takeover"})"},
              {R"({"messageType":5,"requestId":["r"]})", "takeover"},
              {R"({"MessageType":"x","requestId":"first","requestId":"second"})", "takeover#first"},
              {R"({"requestId":")" + std::string(1 << 20, 'x') + "\"}", "{}"},
              {request("after"), "takeover#after"}}),

    // Decisions, through the policy file; one host indexes the policy from
    // its second message on, one host per frame never does.
    exchange({.name = "decisions", .policy = decisionPolicy, .oneHostPerFrame = true},
             {{"{}", "takeover"},
              {R"({"payload":{"intent":[]}})", "takeover"},
              {intent("{}"), "blocked:unsupported_scheme"},
              {media("https://a.example/v", R"(,"policyHints":{"drmSuspected":"true"})"), "takeover"},
              {media("https://a.example/v", R"(,"classification":"websocket_custom_transport")"), "takeover"},
              {intent(R"({"resource":{"url":"blob:https://a/1","mimeType":"text/html"}})"),
               "blocked:unsupported_scheme"},
              {intent(R"({"policyHints":{"drmSuspected":true},"resource":{"url":"ftp://a/b"}})"),
               "blocked:drm_suspected"},
              {intent(R"({"classification":{"deliveryType":"websocket_custom_transport"}})"),
               "blocked:websocket_transport"},
              {intent(R"({"resource":{"url":"https://hard.example/p","mimeType":"text/html"}})"),
               "blocked:non_media_mime"},
              {media("https://video.hard.example/v.mp4"), hardBlocked},
              {media("https://both.example/v.mp4"), hardBlocked},
              {media("https://www.denied.example/v.mp4"), denied},
              {media("https://denied-and-bypassed.example/v"), denied},
              {media("https://cdn.example/v.mp4", page("https://remote.example/")), remoteBypass},
              {media("https://sub.hostrule.example/v.mp4"), bypassRule},
              {media("https://off.example/v.mp4"), "takeover"},
              {media("https://caps.example/v.mp4"), "takeover"},
              {media("https://remote.example/v.mp4"), remoteBypass},
              {media("https://files.example/a.mp4?x=1", R"(,"detection":{"signalType":"network_request"})"),
               "takeover"},
              {media("https://files.example/free/c.mp4", R"(,"detection":{"signalType":"media_mime"})"),
               bypassRule},
              {media("https://x.example/v", direct + page("https://files.example/free/p")), "takeover"},
              {media("https://files.example/a.mp4?x=1#t=5", direct), bypassRule},
              {media("https://WWW.files.example/free/b|c.mp4", direct), bypassRule},
              {media("https://files.example:443/free/b.mp4", direct), "takeover"},
              // Any digits are a port, and keep the URL's host.
              {media("https://blocked.example:99999/p"), hardBlocked},
              {media("https://cdn.example/v.mp4", page("https://blocked.example:99999/p")), hardBlocked},
              {media("https://files.example:0099999/a.mp4", direct), bypassRule}}),
    {.name = "huge_host_of_200000_labels_against_100000_hosts",
     .input = deepHostFrames(),
     .replies = {denied, "takeover", denied, "takeover", denied},
     .policy = hostsPolicy(100'000, "deep.example")},

    // A policy file that cannot serve is the empty policy, never a hang.
    policyFileCase("policy_absent", PolicyFile::text, ""),
    policyFileCase("policy_a_fifo", PolicyFile::fifo, ""),
    policyFileCase("policy_a_directory", PolicyFile::directory, ""),
    policyFileCase("policy_a_dangling_link", PolicyFile::danglingLink, ""),
    policyFileCase("policy_unreadable", PolicyFile::unreadable),
    policyFileCase("policy_not_utf8", PolicyFile::text, "{\"hardBlockedHosts\":[\"hard.example\",\"\xff\"]}"),
    policyFileCase("policy_not_an_object", PolicyFile::text, "[" + hardPolicy + "]"),
    policyFileCase("policy_without_runtime_directory", PolicyFile::noRuntimeDirectory),
    policyFileCase("policy_sparse_1TiB", PolicyFile::sparseTiB),
    policyFileCase("policy_sparse_2GiB", PolicyFile::sparse2GiB),
    // Reused only while provably unchanged: the first read comes when the
    // file's stamps have settled, and the rewrite right after it keeps size
    // and modification time.
    {.name = "policy_changes_between_frames_of_one_host",
     .input = frames({onA, onA, onB, onA, onA, onA, onA}),
     .replies = {hardBlocked, "takeover", hardBlocked, hardBlocked, "takeover", hardBlocked, "takeover"},
     .policy = R"({"hardBlockedHosts":["a.example"]})",
     .before =
         [](Sandbox& sandbox, std::size_t i) {
           if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
           if (i == 1) sandbox.rewriteInPlace(R"({"hardBlockedHosts":["b.example"]})");
           if (i == 3 || i == 5) sandbox.publish(R"({"hardBlockedHosts":["a.example"]})");
           if (i == 4 || i == 6) fs::remove(sandbox.policyPath);
           if (i == 6) fs::create_directory(sandbox.policyPath);
         }},

    // The hand-off: inbox, launch and signal, and what each fault leaves.
    {.name = "handoff_installed_not_running",
     .input = frames(
         {takeoverText, bom, media("ftp://cdn.example/v.mp4"), media("https://skip.example/v"), "[1]"}),
     .replies = {"takeover#t1", "takeover", "blocked:unsupported_scheme", remoteBypass,
                 "!invalid_json_shape"},
     .policy = R"({"remoteBypassHosts":["skip.example"]})",
     .bus = Bus::notRunning,
     .inbox = {takeoverText, bom},
     .signals = {takeoverText, bom},
     .starts = 1},
    {.name = "handoff_not_installed",
     .input = frame(takeoverText),
     .replies = {"takeover#t1"},
     .bus = Bus::notInstalled,
     .inbox = {takeoverText},
     .signals = {takeoverText}},
    {.name = "handoff_already_running",
     .input = frame(takeoverText),
     .replies = {"takeover#t1"},
     .bus = Bus::running,
     .inbox = {takeoverText},
     .signals = {takeoverText}},
    // Each wait is bounded and the bus given up after the first: forty
    // half-second waits would miss the deadline.
    {.name = "handoff_bus_never_answers",
     .input = frames(std::vector<std::string>(40, "{}")),
     .replies = std::vector<std::string>(40, "takeover"),
     .bus = Bus::frozen,
     .inbox = std::vector<std::string>(40, "{}")},
    {.name = "handoff_bus_dies_and_another_comes",
     .input = frames({request("0"), request("1"), request("2")}),
     .replies = {"takeover#0", "takeover#1", "takeover#2"},
     .bus = Bus::running,
     .inbox = {request("0"), request("1"), request("2")},
     .signals = {request("0"), request("2")},
     .before =
         [](Sandbox& sandbox, std::size_t i) {
           if (i == 1 && sandbox.signals(1).size() == 1) sandbox.stopBus();
           if (i == 2) sandbox.startBus(Bus::running);
         }},
    {.name = "handoff_noncharacters_reach_the_bus_replaced",
     .input = frame(withNoncharacters),
     .replies = {"takeover"},
     .bus = Bus::running,
     .inbox = {withNoncharacters},
     .signals = {"{\"title\":\"a\xEF\xBF\xBD b\xEF\xBF\xBD "
                 "c\xEF\xBF\xBD\"}\x1fpayloadAltered=noncharacters_replaced"}},
    // With no bus at all, the inbox alone.
    {.name = "inbox_keeps_rows_in_frame_order",
     .input = frames({request("1"), request("2"), "[]", request("3")}),
     .replies = {"takeover#1", "takeover#2", "!invalid_json_shape", "takeover#3"},
     .seed = {"old 1", "old 2"},
     .inbox = {"old 1", "old 2", request("1"), request("2"), request("3")}},
    storeFault("store_data_folder_read_only", Store::readOnly),
    storeFault("store_not_a_database", Store::notADatabase),
    storeFault("store_table_of_another_shape", Store::otherTable),
    storeFault("store_view_in_place_of_the_table", Store::view),
    // The capture that does not fit is rolled back whole; the others stay.
    {.name = "store_disk_full",
     .input = frames({request("0"), R"({"a":")" + std::string(2 << 20, 'x') + "\"}", request("1")}),
     .replies = {"takeover#0", "takeover", "takeover#1"},
     .store = Store::smallDisk,
     .inbox = {request("0"), request("1")}},
};

class BlackBox : public testing::TestWithParam<Case> {};

std::vector<std::string> repliesOf(const Case& c, Sandbox& sandbox) {
  Host host;
  if (c.closedOutput) host.closeOutput();
  std::vector<std::string> replies, bodies = c.before ? framesIn(c.input) : std::vector<std::string>();
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    c.before(sandbox, i);
    host.send(frame(bodies[i]));
    replies.push_back(host.reply().value_or("[no reply]"));
  }
  HostRun run = host.finish(c.before ? "" : c.input, c.pieces);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.errors);
  replies.insert(replies.end(), run.replies.begin(), run.replies.end());
  return replies;
}

// The policy action and reason of a reply, or of an explanation, as text.
std::string decisionIn(const std::string& json) {
  std::string decision;
  for (std::string key : {"\"policyAction\":\"", "\"reason\":\""}) {
    std::size_t at = json.find(key), start = at + key.size();
    decision += (at == std::string::npos ? "" : json.substr(start, json.find('"', start) - start)) + " ";
  }
  return decision;
}

// What qorda-policy explain says of a message under the policy the host saw.
std::string explained(const Sandbox& sandbox, const std::string& body) {
  std::ofstream(sandbox.root / "explained.json", std::ios::binary) << body;
  // Without root's reach past file modes, as the host runs.
  std::string command =
      std::string(::geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search " : "") +
      QORDA_POLICY_TOOL " explain --json --message " + (sandbox.root / "explained.json").string();
  EXPECT_EQ(0, std::system((command + " >" + (sandbox.root / "records" / "explained").string()).c_str()))
      << command;
  return sandbox.record("explained");
}

void runRow(const Case& c) {
  Sandbox sandbox;
  sandbox.startBus(c.bus);
  sandbox.makePolicy(c.policyFile, c.policy);
  if (!sandbox.makeStore(c.store, c.seed))
    GTEST_SKIP() << "this store cannot be made here (a small disk needs root)";
  std::vector<std::string> expected, apart, payloads, signals;
  for (const std::string& form : c.replies) expected.push_back(expectedReply(form));
  std::vector<std::string> replies = repliesOf(c, sandbox), bodies = framesIn(c.input);
  EXPECT_EQ(expected, replies);
  // The explanation tool runs the host's own evaluation: it must agree.
  for (std::size_t i = 0; !c.before && i < std::min(bodies.size(), replies.size()); ++i) {
    if (replies[i] == "{}") continue;
    EXPECT_EQ(decisionIn(replies[i]), decisionIn(explained(sandbox, bodies[i]))) << i;
  }
  for (const std::string& body : c.oneHostPerFrame ? bodies : std::vector<std::string>())
    apart.push_back(Host().finish(frame(body)).replies.at(0));
  EXPECT_TRUE(!c.oneHostPerFrame || expected == apart) << "one host per frame";
  if (!c.inbox.empty())
    for (const InboxRow& row : inboxRows(sandbox)) payloads.push_back(row.payload);
  EXPECT_TRUE(c.inbox == payloads) << testing::PrintToString(payloads).substr(0, 2000);
  for (const std::string& text : c.signals) signals.push_back("payload=" + text);
  EXPECT_EQ(signals, c.signals.empty() ? signals : sandbox.signals(c.signals.size()));
  auto starts = [&] { return std::ranges::count(sandbox.record("starts"), '\n'); };
  eventually([&] { return starts() >= c.starts; });
  EXPECT_EQ(c.starts, starts()) << "launches of the application";
}

TEST_P(BlackBox, Run) { runRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, BlackBox, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

// The desktop application publishes by rename while two hosts evaluate:
// every evaluation takes one published policy whole.
TEST(BlackBoxChoreography, PolicyPublishedByRenameIsAlwaysOneOfThePublished) {
  Sandbox sandbox;
  const std::string filler = R"({"filler":")" + std::string(64 * 1024, 'f') + "\",";
  const std::string policies[2] = {filler + R"("hardBlockedHosts":["x.example"]})",
                                   filler + R"("remoteBypassHosts":["x.example"]})"};
  sandbox.publish(policies[0]);
  const std::string stream = frames(std::vector(300, media("https://x.example/")));
  HostRun runs[2];
  {
    std::jthread publisher([&](std::stop_token stop) {
      for (int i = 1; !stop.stop_requested(); ++i) sandbox.publish(policies[i % 2]);
    });
    std::jthread hosts[2];
    for (int h = 0; h < 2; ++h) hosts[h] = std::jthread([&, h] { runs[h] = Host().finish(stream); });
  }
  const std::set<std::string> published = {expectedReply(hardBlocked), expectedReply(remoteBypass)};
  for (const HostRun& run : runs) {
    EXPECT_EQ(300u, run.replies.size());
    for (const std::string& reply : run.replies) EXPECT_TRUE(published.contains(reply)) << reply;
  }
}

// Four hosts append while the application drains, two of them stopped amid
// their stream by SIGTERM and SIGKILL: the database stays whole, every entry
// is whole and drained once, each answered one is there, ids only grow, and
// none is handed out again after a drain.
TEST(BlackBoxChoreography, HostsAppendingWhileDrainedOrKilledLoseAndRepeatNothing) {
  Sandbox sandbox;
  std::vector<std::string> sent, answered, streams(4);
  for (int i = 0; i < 1200; ++i)
    streams[i % 4] += frame(sent.emplace_back(request(std::to_string(i) + std::string(2000, '-'))));
  std::atomic<int> running = 4;
  std::size_t answeredBy[4] = {};
  std::vector<std::thread> hosts;
  for (int h = 0; h < 4; ++h) {
    hosts.emplace_back([&, h] {
      Host host;
      std::thread writer([&] { host.send(h < 2 ? "" : streams[h]); });
      for (int i = 0; h >= 2 && i < 50; ++i) host.reply();
      if (h >= 2) ::kill(host.pid, h == 2 ? SIGTERM : SIGKILL);
      writer.join();
      answeredBy[h] = host.finish(h < 2 ? streams[h] : "").replies.size() + (h >= 2 ? 50 : 0);
      --running;
    });
  }
  std::vector<InboxRow> drained;
  auto drain = [&] {
    for (InboxRow& row : drainInbox(sandbox)) drained.push_back(std::move(row));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  while (running > 0) drain();
  for (std::thread& host : hosts) host.join();
  for (std::size_t h = 0; h < 4; ++h)
    for (std::size_t i = 0; i < answeredBy[h]; ++i) answered.push_back(sent[4 * i + h]);
  Host().finish(frame(sent.emplace_back(request("after the drain"))));
  answered.push_back(sent.back());
  drain();
  EXPECT_EQ(0u, inboxRows(sandbox).size());
  std::multiset<std::string> payloads;
  for (std::size_t i = 0; i < drained.size(); ++i) {
    EXPECT_TRUE(i == 0 || drained[i - 1].id < drained[i].id)
        << "id " << drained[i].id << " came after a larger one";
    EXPECT_NE(sent.end(), std::ranges::find(sent, drained[i].payload))
        << "torn: " << drained[i].payload.size();
    payloads.insert(drained[i].payload);
  }
  for (const std::string& message : answered) EXPECT_EQ(1u, payloads.count(message)) << message.substr(0, 20);
}

// A peer floods the host's bus name, learnt from its first capture signal,
// while the host waits for its next takeover: none of it reaches the host.
TEST(BlackBoxChoreography, FloodOnTheHostsBusNameCostsItNoMemory) {
  Sandbox sandbox;
  sandbox.startBus(Bus::running, "flood");
  Host host;
  host.send(frame("{}"));
  ASSERT_EQ(expectedReply("takeover"), host.reply().value_or(""));
  ASSERT_TRUE(eventually([&] { return !sandbox.record("flooded").empty(); }, 20));
  long before = host.peakKilobytes();
  host.send(frame(request("next")));
  EXPECT_EQ(expectedReply("takeover#next"), host.reply().value_or(""));
  EXPECT_EQ(2u, sandbox.signals(2).size()) << "the next capture reaches the bus";
  EXPECT_LT(host.peakKilobytes() - before, 16 * 1024) << "KiB of peak resident memory gained";
  HostRun run = host.finish();
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.errors);
}

// A takeover larger than a bus array is stored whole and signalled empty; a
// policy of 40 MiB is read and used. Built here, not at start-up as the rows.
TEST(BlackBoxChoreography, HugeTakeoverAndHugePolicy) {
  const std::string huge = R"({"filler":")" + std::string(70 << 20, 'x') + "\"}";
  runRow({.name = "huge",
          .input = frames({huge, media("https://cdn.last.example/")}),
          .replies = {"takeover", "blocked:user_denied_site"},
          .policy = hostsPolicy(2'000'000, "last.example"),
          .bus = Bus::running,
          .inbox = {huge},
          .signals = {"\x1fpayloadAltered=too_large"}});
}

}  // namespace
}  // namespace qorda::test
