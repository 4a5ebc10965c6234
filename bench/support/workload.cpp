#include "workload.h"

#include "host/frame_transport.h"

namespace qorda::bench {
namespace {

struct Resource {
  std::string_view pageUrl;
  std::string_view resourceUrl;
  std::string_view manifestUrl;
  std::string_view mimeType;
  std::string_view signalType;
  std::string_view deliveryType;
};

// Every requestId has the same length, so every reply of a mix does too.
std::string requestMessage(const Resource& r, std::size_t index, std::string_view padding = {}) {
  std::string id = "req-" + std::to_string(100000 + index);
  std::string text = R"({"messageType":"capture.intent","requestId":")" + id + R"(","payload":{"intent":{)";
  text += R"("sourceContext":{"pageUrl":")" + std::string(r.pageUrl) + R"(","frameUrl":")" +
          std::string(r.pageUrl) + R"(","tabId":1842},)";
  text += R"("resource":{"url":")" + std::string(r.resourceUrl) + R"(","mimeType":")" +
          std::string(r.mimeType) + R"(","contentLength":7340032},)";
  text += R"("manifest":{"url":")" + std::string(r.manifestUrl) + R"("},)";
  text += R"("detection":{"signalType":")" + std::string(r.signalType) +
          R"(","confidence":"high","evidence":")" + std::string(padding) + R"("},)";
  text += R"("classification":{"deliveryType":")" + std::string(r.deliveryType) + R"(","container":"mp4"},)";
  text += R"("policyHints":{"drmSuspected":false,"requiresCookies":true}}}})";
  return text;
}

// Non-media MIME types: answered by the request checks, before any policy.
constexpr std::array requestCheckResources = {
    Resource{"https://www.dailyherald-news.example/2024/05/17/city-council-budget-vote",
             "https://static.dailyherald-news.example/assets/article.css?v=20240517&theme=light",
             "https://static.dailyherald-news.example/assets/manifest.json", "text/css", "direct_url",
             "progressive"},
    Resource{"https://shop.outdoorgear.example/products/alpine-tent-2p?color=green",
             "https://images.outdoorgear.example/products/alpine-tent-2p/hero.jpg?w=1600&q=80",
             "https://shop.outdoorgear.example/site.webmanifest", "image/jpeg", "media_mime", "progressive"},
    Resource{"https://app.taskboard.example/team/roadmap?view=board",
             "https://api.taskboard.example/v2/boards/8841/cards?limit=50&cursor=eyJwIjoyfQ",
             "https://app.taskboard.example/manifest.json", "application/json; charset=utf-8",
             "content_disposition", "progressive"},
    Resource{"https://docs.library-archive.example/collections/maps/1893-survey",
             "https://docs.library-archive.example/download/1893-survey.pdf?token=a81f3c&dl=1",
             "https://docs.library-archive.example/manifest.json", "application/pdf", "content_disposition",
             "progressive"},
};

// Media on hosts named in remoteBypassHosts: answered by the policy.
constexpr std::array policyResources = {
    Resource{"https://www.partner-tv.example/live/channel-4?autoplay=1",
             "https://edge3.partner-tv.example/live/channel-4/chunk_001842.ts?session=9f2c1e&bitrate=4500",
             "https://edge3.partner-tv.example/live/channel-4/index.m3u8?session=9f2c1e", "video/mp2t",
             "network_manifest", "hls"},
    Resource{"https://learn.partner-academy.example/course/241/lesson/7",
             "https://media.partner-academy.example/course/241/lesson7-720p.mp4?expires=1717000000&sig=Zm9v",
             "https://media.partner-academy.example/course/241/lesson7.mpd", "video/mp4", "direct_url",
             "progressive"},
    Resource{"https://radio.partner-fm.example/shows/morning?episode=2024-05-17",
             "https://cdn.partner-fm.example/audio/morning/2024-05-17.mp3?listener=c41d&fmt=mp3",
             "https://cdn.partner-fm.example/audio/morning/feed.m3u8", "audio/mpeg", "media_mime",
             "progressive"},
    Resource{"https://www.partner-tv.example/vod/series-12/episode-3",
             "https://vod.partner-tv.example/series-12/ep3/video_1080p_00042.m4s?token=77ab&range=0-2097151",
             "https://vod.partner-tv.example/series-12/ep3/manifest.mpd?token=77ab", "video/iso.segment",
             "network_manifest", "dash"},
};

// Media on hosts no list names: taken over after every check.
constexpr std::array takeoverResources = {
    Resource{
        "https://www.videoshare.example/watch/Q8f31kZ?list=PL42&t=95",
        "https://r4---sn-cdn.videoshare-content.example/videoplayback?id=Q8f31kZ&itag=22&mime=video%2Fmp4",
        "https://manifest.videoshare.example/api/manifest/hls_variant/id/Q8f31kZ/index.m3u8", "video/mp4",
        "direct_url", "progressive"},
    Resource{"https://www.streamhub.example/events/keynote-2024?lang=en",
             "https://vod-eu.streamhub-cdn.example/events/keynote-2024/1080p/"
             "segment_00017.m4s?auth=exp=1717000000",
             "https://vod-eu.streamhub-cdn.example/events/keynote-2024/manifest.mpd?auth=exp=1717000000",
             "video/iso.segment", "network_manifest", "dash"},
    Resource{"https://podcasts.soundwave.example/show/deep-dive/episode/118",
             "https://audio.soundwave-cdn.example/deep-dive/118/episode.m4a?listen_id=7c1e9a&source=web",
             "https://audio.soundwave-cdn.example/deep-dive/118/playlist.m3u8", "audio/mp4", "media_mime",
             "progressive"},
    Resource{"https://www.filmclub.example/title/70231/trailer?autoplay=true",
             "https://trailers.filmclub-media.example/70231/trailer_1080.mp4?cdn=eu2&exp=1717000000",
             "https://trailers.filmclub-media.example/70231/master.m3u8?cdn=eu2", "video/mp4",
             "content_disposition", "hls"},
};

std::vector<Resource> resourcesOf(Mix mix) {
  switch (mix) {
    case Mix::requestChecks:
      return {requestCheckResources.begin(), requestCheckResources.end()};
    case Mix::policy:
      return {policyResources.begin(), policyResources.end()};
    case Mix::takeover:
      break;
  }
  return {takeoverResources.begin(), takeoverResources.end()};
}

constexpr std::array hostWords = {"video", "stream", "media", "cdn",  "tube",
                                  "clip",  "cast",   "play",  "film", "music"};
constexpr std::array tlds = {"com", "net", "org", "io", "tv", "co.uk", "de", "example"};

// Names as users and feeds publish them: mostly lower case, some with "www."
// or capitals, all under domains no bench message uses.
std::string hostEntry(std::size_t list, std::size_t index) {
  std::string host = std::string(hostWords[index % hostWords.size()]) + std::to_string(index) + "-l" +
                     std::to_string(list) + "." + hostWords[(index / 7) % hostWords.size()] + "-site" +
                     std::to_string(index % 997) + ".blocked-" + tlds[index % tlds.size()];
  if (index % 10 == 3) host = "www." + host;
  if (index % 50 == 7) host[0] = static_cast<char>(host[0] - 'a' + 'A');
  return host;
}

std::string ruleEntry(std::size_t index) {
  std::string n = std::to_string(index);
  bool enabled = index % 7 != 6;
  std::string scope, pattern;
  switch (index % 3) {
    case 0:
      scope = "exactURL", pattern = "https://files" + n + ".rules.example/download/file" + n + ".mp4";
      break;
    case 1:
      scope = "pathPrefix", pattern = "https://cdn" + n + ".rules.example/private/" + n + "/";
      break;
    default:
      scope = "hostAll", pattern = "host" + n + ".rules.example";
      break;
  }
  return R"({"scope":")" + scope + R"(","pattern":")" + pattern + R"(","enabled":)" +
         (enabled ? "true" : "false") + "}";
}

void appendHostList(std::string& text, std::string_view key, std::size_t list, std::size_t count,
                    const std::vector<std::string_view>& extra) {
  text += '"' + std::string(key) + R"(":[)";
  bool first = true;
  auto add = [&](std::string_view host) {
    if (!first) text += ',';
    first = false;
    text += '"' + std::string(host) + '"';
  };
  for (std::size_t i = 0; i < count; ++i) add(hostEntry(list, i));
  for (std::string_view host : extra) add(host);
  text += "],";
}

std::string snapshotWith(std::size_t hostEntries, std::size_t rules,
                         const std::vector<std::string_view>& bypassExtra) {
  std::string text = "{";
  std::size_t perList = hostEntries / 3;
  appendHostList(text, "hardBlockedHosts", 0, perList, {});
  appendHostList(text, "userDenyHosts", 1, perList, {});
  appendHostList(text, "remoteBypassHosts", 2, hostEntries - 2 * perList, bypassExtra);
  text += R"("bypassRules":[)";
  for (std::size_t i = 0; i < rules; ++i) {
    if (i > 0) text += ',';
    text += ruleEntry(i);
  }
  text += "]}";
  return text;
}

}  // namespace

std::string_view mixName(Mix mix) {
  switch (mix) {
    case Mix::requestChecks:
      return "request checks";
    case Mix::policy:
      return "policy";
    case Mix::takeover:
      break;
  }
  return "takeover";
}

std::string_view expectedAction(Mix mix) {
  return mix == Mix::requestChecks ? "blocked" : mix == Mix::policy ? "bypass" : "takeover";
}

std::string_view expectedReason(Mix mix) {
  return mix == Mix::requestChecks ? "non_media_mime" : mix == Mix::policy ? "remote_bypass_site" : "";
}

std::vector<std::string> requestMessages(Mix mix) {
  std::vector<std::string> messages;
  std::vector<Resource> resources = resourcesOf(mix);
  for (std::size_t i = 0; i < resources.size(); ++i) messages.push_back(requestMessage(resources[i], i));
  return messages;
}

PaddedMessage paddedMessage(Mix mix, std::size_t size) {
  // A marker no message holds shows where the padding goes.
  constexpr std::string_view marker = "\x01";
  std::string whole = requestMessage(resourcesOf(mix).front(), 0, marker);
  std::size_t at = whole.find(marker);
  std::size_t bare = whole.size() - marker.size();
  return {whole.substr(0, at), size > bare ? size - bare : 0, whole.substr(at + marker.size())};
}

std::string snapshotText(std::size_t hostEntries, std::size_t rules) {
  return snapshotWith(hostEntries, rules, {});
}

std::string comparisonPolicyText() {
  return snapshotWith(300, 30, {"partner-tv.example", "partner-academy.example", "partner-fm.example"});
}

std::string policyProbeMessage() { return requestMessages(Mix::takeover).front(); }

std::string lengthHeader(std::size_t length) {
  auto header = frameHeader(static_cast<std::uint32_t>(length));
  return std::string(header.data(), header.size());
}

std::string frameOf(std::string_view body) {
  std::string frame = lengthHeader(body.size());
  frame += body;
  return frame;
}

}  // namespace qorda::bench
