#include "tools/publisher/livereleases.h"

#include "tools/publisher/crypto.h"

namespace {

// The text of one XML element's content, its five entities undone.
std::string XmlText(const std::string& xml) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < xml.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (xml.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
        out += c;
        i += std::char_traits<char>::length(entity);
        replaced = true;
        break;
      }
    }
    if (!replaced) out += xml[i++];
  }
  return out;
}

// The contents of every <tag>...</tag> in `xml`, in order.
std::vector<std::string> Elements(const std::string& xml, const std::string& tag) {
  std::vector<std::string> found;
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
    const size_t end = xml.find(close, at + open.size());
    if (end == std::string::npos) break;
    found.push_back(XmlText(xml.substr(at + open.size(), end - at - open.size())));
    at = end + close.size();
  }
  return found;
}

std::string Answer(const HttpClient::Response& response) {
  if (!response.failure.empty()) return "no answer: " + response.failure;
  return "answered " + std::to_string(response.status);
}

}  // namespace

bool DescribeRelease(const std::string& path, const std::string& text, DescribedRelease& release) {
  const size_t slash = path.rfind('/');
  const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (base.size() <= 4 || base.compare(base.size() - 4, 4, ".txt") != 0) return false;
  const std::string name = base.substr(0, base.size() - 4);
  if (text.compare(0, name.size() + 2, name + "\r\n") != 0) return false;
  const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
  if (records.empty()) return false;
  release.name = name;
  release.crc_info_path = path;
  release.crc_info = text;
  release.parts = PartObjects(
      HostLayout(name, slash == std::string::npos ? "" : path.substr(0, slash)), records);
  return true;
}

bool ReadLiveReleases(const FetchFunction& fetch, const std::string& base, const std::string& sas,
                      const std::string& container, size_t max_crc_info,
                      std::vector<DescribedRelease>& releases, std::string& error) {
  std::vector<std::string> names;
  std::string marker;
  do {
    const std::string url = ObjectUrl(base, container, sas) + (sas.empty() ? "?" : "&") +
                            "restype=container&comp=list" +
                            (marker.empty() ? "" : "&marker=" + Crypto::UrlEncode(marker));
    HttpClient::Response response;
    fetch(url, 64u << 20, response);
    if (!response.failure.empty() || response.status != 200) {
      error = "cannot list container " + container +
              " to find its other live releases: " + Answer(response) +
              (response.status == 403 ? " (a write signature made before list was allowed: "
                                        "make a new one with publisher sas --write)"
                                      : "");
      return false;
    }
    for (const std::string& name : Elements(response.body, "Name")) names.push_back(name);
    const std::vector<std::string> next = Elements(response.body, "NextMarker");
    marker = next.empty() ? "" : next.front();
  } while (!marker.empty());

  for (const std::string& name : names) {
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".txt") != 0) continue;
    const std::string path = container + "/" + name;
    HttpClient::Response response;
    fetch(ObjectUrl(base, path, sas), max_crc_info, response);
    // Taken down since the listing: not live.
    if (response.failure.empty() && response.status == 404) continue;
    if (!response.failure.empty() || response.status != 200) {
      error = "cannot read " + path + ": " + Answer(response);
      return false;
    }
    DescribedRelease release;
    if (DescribeRelease(path, response.body, release)) releases.push_back(std::move(release));
  }
  return true;
}
