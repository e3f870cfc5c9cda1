#pragma once
// The listing decoder and the record-to-entry rule: the decoder agrees with
// a second JSON reader and the decoding rules, a decoded page encodes and
// decodes to the same records, and every entry keeps the rule's invariants.

#include <optional>
#include <string>
#include <vector>

#include "extension/backend/Entries.h"
#include "extension/backend/InternetDate.h"
#include "extension/backend/StorageRecords.h"
#include "fuzz/checks/JsonReference.h"
#include "fuzz/checks/Property.h"

namespace lumora::fuzz {

struct OwnedRecord {
  std::string key;
  std::optional<int64_t> size;
  std::optional<std::string> etag;
  std::optional<std::string> modified;
  std::optional<bool> dir;
  friend bool operator==(const OwnedRecord&, const OwnedRecord&) = default;
};

struct DecodedList {
  Result<std::optional<std::string>> cursor;
  std::vector<OwnedRecord> records;
};

inline DecodedList decodeOwned(std::string_view body) {
  DecodedList out{std::optional<std::string>(), {}};
  out.cursor = backend::decodeStorageList(body, [&](const backend::StorageEntry& r) {
    auto own = [](std::optional<std::string_view> v) {
      return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
    };
    out.records.push_back({std::string(r.key), r.size, own(r.etag), own(r.modified), r.dir});
  });
  return out;
}

// The decoding rules applied to the second reader's tree: none when the
// body must be refused.
inline std::optional<DecodedList> referenceDecode(const nlohmann::json& root) {
  DecodedList out{std::optional<std::string>(), {}};
  if (!root.is_object()) return std::nullopt;
  auto entries = root.find("entries");
  if (entries == root.end() || !entries->is_array()) return std::nullopt;
  if (auto cursor = root.find("cursor"); cursor != root.end() && !cursor->is_null()) {
    if (!cursor->is_string()) return std::nullopt;
    out.cursor = cursor->get<std::string>();
  }
  for (const auto& item : *entries) {
    if (!item.is_object()) return std::nullopt;
    OwnedRecord r;
    auto key = item.find("key");
    if (key == item.end() || !key->is_string()) return std::nullopt;
    r.key = key->get<std::string>();
    auto text = [&](const char* name, std::optional<std::string>& slot) {
      auto it = item.find(name);
      if (it == item.end() || it->is_null()) return true;
      if (!it->is_string()) return false;
      slot = it->get<std::string>();
      return true;
    };
    if (!text("etag", r.etag) || !text("modified", r.modified)) return std::nullopt;
    if (auto size = item.find("size"); size != item.end() && !size->is_null()) {
      if (!isInt64(*size) || size->get<int64_t>() < 0) return std::nullopt;
      r.size = size->get<int64_t>();
    }
    if (auto dir = item.find("dir"); dir != item.end() && !dir->is_null()) {
      if (!dir->is_boolean()) return std::nullopt;
      r.dir = dir->get<bool>();
    }
    out.records.push_back(std::move(r));
  }
  return out;
}

inline std::string encodeList(const DecodedList& list) {
  nlohmann::json entries = nlohmann::json::array();
  for (const auto& r : list.records) {
    nlohmann::json item = {{"key", r.key}};
    if (r.size) item["size"] = *r.size;
    if (r.etag) item["etag"] = *r.etag;
    if (r.modified) item["modified"] = *r.modified;
    if (r.dir) item["dir"] = *r.dir;
    entries.push_back(std::move(item));
  }
  nlohmann::json root = {{"entries", std::move(entries)}};
  if (*list.cursor) root["cursor"] = **list.cursor;
  return root.dump();
}

// The invariants of makeEntry for one record.
inline std::string checkEntry(const OwnedRecord& r, const std::optional<std::string>& parent) {
  backend::StorageEntry view{r.key, r.size, r.etag, r.modified, r.dir};
  backend::Entry e = backend::makeEntry(view, parent);
  LUMORA_PROPERTY(e.id == r.key, "id is not the key");
  LUMORA_PROPERTY(e.parentID == parent, "parentID is not the parent");
  LUMORA_PROPERTY(!e.isRoot && !e.createdAt, "a record made a root or a creation date");
  LUMORA_PROPERTY(e.isDirectory == (r.dir ? *r.dir : r.key.ends_with('/')), "isDirectory");
  LUMORA_PROPERTY(e.size == r.size.value_or(0), "size");
  LUMORA_PROPERTY(e.name.find('/') == std::string::npos, "name holds a slash: " + e.name);
  std::string_view trimmed = r.key;
  if (e.isDirectory && trimmed.ends_with('/')) trimmed.remove_suffix(1);
  LUMORA_PROPERTY(trimmed.find(e.name) != std::string_view::npos, "name is not in the key");
  if (!e.name.empty()) {
    // The name is the last component: only slashes may follow it.
    size_t at = trimmed.rfind(e.name);
    std::string_view after = trimmed.substr(at + e.name.size());
    LUMORA_PROPERTY(after.find_first_not_of('/') == std::string_view::npos,
                    "name is not the last component");
    LUMORA_PROPERTY(at == 0 || trimmed[at - 1] == '/', "name is not a whole component");
  }
  const std::string& expectedTag = r.etag ? *r.etag : r.modified ? *r.modified : r.key;
  LUMORA_PROPERTY(e.contentETag == expectedTag, "contentETag");
  LUMORA_PROPERTY(
      e.metadataTag == e.name + "|" + std::to_string(e.size) + "|" + r.modified.value_or(""),
      "metadataTag " + escaped(e.metadataTag));
  std::optional<backend::Date> date;
  if (r.modified) date = backend::parseInternetDate(*r.modified);
  LUMORA_PROPERTY(e.modifiedAt == date, "modifiedAt is not the parsed modified text");
  return {};
}

inline std::string checkStorageList(std::string_view body) {
  DecodedList ours = decodeOwned(body);
  if (!ours.cursor) {
    LUMORA_PROPERTY(ours.cursor.error().domain == kDecodingErrorDomain &&
                        !ours.cursor.error().description.empty(),
                    "a refused body gave no decoding error");
  }
  ReferenceJson reference = readReference(body);
  if (ours.cursor) {
    LUMORA_PROPERTY(reference.valid, "accepted a body that is not JSON");
  }
  if (reference.valid && !reference.repeatsMember && !reference.hasHugeNumber) {
    std::optional<DecodedList> expected = referenceDecode(reference.value);
    LUMORA_PROPERTY(expected.has_value() == ours.cursor.has_value(),
                    ours.cursor
                        ? std::string("accepted a body the rules refuse")
                        : "refused a body the rules accept: " + ours.cursor.error().description);
    if (expected) {
      LUMORA_PROPERTY(*expected->cursor == *ours.cursor, "cursor differs from the reference");
      LUMORA_PROPERTY(expected->records == ours.records, "records differ from the reference");
    }
  }
  if (!ours.cursor) return {};

  // What we decoded, encoded again, decodes to the same page.
  DecodedList again = decodeOwned(encodeList(ours));
  LUMORA_PROPERTY(again.cursor.has_value(), "the re-encoded page was refused");
  LUMORA_PROPERTY(*again.cursor == *ours.cursor && again.records == ours.records,
                  "the re-encoded page decodes differently");

  for (size_t i = 0; i < ours.records.size(); ++i) {
    std::optional<std::string> parent;
    if (i % 2 == 0) parent = "mirror/docs/";
    if (auto broken = checkEntry(ours.records[i], parent); !broken.empty()) {
      return "entries[" + std::to_string(i) + "]: " + broken;
    }
  }
  return {};
}

}  // namespace lumora::fuzz
