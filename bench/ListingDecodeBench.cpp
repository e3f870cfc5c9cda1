// Decoding one 1,000-record listing page into entries: ours (simdjson)
// beside a reference decode of the same bytes with nlohmann::json into the
// same entries, in the same run. Prints ROW lines for scripts/bench.

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "extension/backend/Entries.h"
#include "extension/backend/StorageRecords.h"

namespace {

using lumora::backend::Entry;
using lumora::backend::StorageEntry;

std::string makePage(int records) {
  std::string body = R"({"entries":[)";
  for (int i = 0; i < records; ++i) {
    if (i) body += ',';
    std::string n = std::to_string(i);
    if (i % 10 == 0) {
      body += R"({"key":"mirror/docs/folder-)" + n + R"(/","dir":true})";
    } else {
      body += R"({"key":"mirror/docs/report-)" + n + R"(.pdf","size":)" +
              std::to_string(1000 + i * 37) + R"(,"etag":"d41d8cd98f00b204e9800998ecf8)" + n +
              R"(","modified":"2024-05-01T10:00:00Z"})";
    }
  }
  body += R"(],"cursor":"bWlycm9yL2RvY3MvcmVwb3J0LTk5OS5wZGY="})";
  return body;
}

std::vector<Entry> decodeOurs(const std::string& body) {
  std::vector<Entry> entries;
  auto cursor = lumora::backend::decodeStorageList(body, [&](const StorageEntry& r) {
    entries.push_back(lumora::backend::makeEntry(r, "mirror/docs/"));
  });
  if (!cursor) std::abort();
  return entries;
}

// The same strictness with nlohmann::json: types checked, null as absent.
std::vector<Entry> decodeReference(const std::string& body) {
  nlohmann::json root = nlohmann::json::parse(body);
  const nlohmann::json& list = root.at("entries");
  if (!list.is_array()) std::abort();
  std::vector<Entry> entries;
  auto text = [](const nlohmann::json& o, const char* name) -> std::optional<std::string_view> {
    auto it = o.find(name);
    if (it == o.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) std::abort();
    return std::string_view(it->get_ref<const std::string&>());
  };
  for (const nlohmann::json& o : list) {
    if (!o.is_object()) std::abort();
    StorageEntry r;
    r.key = text(o, "key").value();
    r.etag = text(o, "etag");
    r.modified = text(o, "modified");
    if (auto it = o.find("size"); it != o.end() && !it->is_null()) {
      // nlohmann reads every non-negative integer as unsigned.
      if (!it->is_number_integer()) std::abort();
      if (it->is_number_unsigned() && it->get<uint64_t>() > INT64_MAX) std::abort();
      r.size = it->get<int64_t>();
    }
    if (auto it = o.find("dir"); it != o.end() && !it->is_null()) {
      if (!it->is_boolean()) std::abort();
      r.dir = it->get<bool>();
    }
    entries.push_back(lumora::backend::makeEntry(r, "mirror/docs/"));
  }
  return entries;
}

// Best records per second over several rounds of about 0.3 s each.
template <class Decode>
double recordsPerSecond(const std::string& body, size_t records, Decode decode) {
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    size_t pages = 0, check = 0;
    auto start = std::chrono::steady_clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      check += decode(body).size();
      ++pages;
      elapsed = std::chrono::steady_clock::now() - start;
    } while (elapsed.count() < 0.3);
    if (check != pages * records) std::abort();
    best = std::max(best, static_cast<double>(pages * records) / elapsed.count());
  }
  return best;
}

}  // namespace

int main() {
  constexpr int kRecords = 1000;
  std::string body = makePage(kRecords);
  if (decodeOurs(body) != decodeReference(body)) {
    std::fprintf(stderr, "the two decoders disagree\n");
    return 1;
  }
  double ours = recordsPerSecond(body, kRecords, decodeOurs);
  double reference = recordsPerSecond(body, kRecords, decodeReference);
  std::printf(
      "ROW\tlisting decode, 1,000-record page (records/s, one core)\t%.0f\t%.0f\t%.2f\t%s\n", ours,
      reference, ours / reference, ">= 2.00 and >= 1000000 records/s");
  return 0;
}
