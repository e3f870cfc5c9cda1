#include "extension/backend/StorageRecords.h"

#include <simdjson.h>

namespace lumora::backend {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

const char* typeName(element_type type) {
  switch (type) {
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "an object";
    case element_type::INT64:
    case element_type::UINT64:
      return "an integer";
    case element_type::DOUBLE:
      return "a number with a fraction or exponent";
    case element_type::STRING:
      return "a string";
    case element_type::BOOL:
      return "a boolean";
    case element_type::NULL_VALUE:
      return "null";
  }
  return "an unknown value";
}

std::unexpected<Error> mismatch(const std::string& member, const char* expected, element value) {
  return fail(kDecodingErrorDomain, 1,
              "The member \"" + member + "\" should be " + expected + " but is " +
                  typeName(value.type()) + ".");
}

std::unexpected<Error> missing(const std::string& member) {
  return fail(kDecodingErrorDomain, 2, "The member \"" + member + "\" is missing.");
}

// Each decoding thread keeps its parser, so buffers are reused across pages.
simdjson::dom::parser& threadParser() {
  thread_local simdjson::dom::parser parser;
  return parser;
}

// A parser's buffers grow to the largest body it parsed. With a pool of
// decoding threads each keeping a page of a thousand records' worth, that
// adds up to tens of megabytes for a process that lists big folders; only
// small buffers stay for reuse.
constexpr size_t kKeptParserCapacity = 64 * 1024;
struct LargeParserRelease {
  ~LargeParserRelease() {
    if (threadParser().capacity() > kKeptParserCapacity) threadParser() = simdjson::dom::parser{};
  }
};

Result<simdjson::dom::object> parseObject(std::string_view body) {
  element root;
  if (auto error = threadParser().parse(body.data(), body.size()).get(root)) {
    return fail(kDecodingErrorDomain, 3,
                std::string("The data is not valid JSON: ") + simdjson::error_message(error));
  }
  if (root.type() != element_type::OBJECT) return mismatch("(top level)", "an object", root);
  return simdjson::dom::object(root);
}

std::string recordMember(size_t index, std::string_view name) {
  return "entries[" + std::to_string(index) + "]." + std::string(name);
}

Result<StorageEntry> decodeRecord(element value, size_t index) {
  if (value.type() != element_type::OBJECT) {
    return mismatch("entries[" + std::to_string(index) + "]", "an object", value);
  }
  StorageEntry entry;
  bool haveKey = false;
  for (auto field : simdjson::dom::object(value)) {
    std::string_view name = field.key;
    element member = field.value;
    element_type type = member.type();
    if (name == "key") {
      if (type != element_type::STRING)
        return mismatch(recordMember(index, name), "a string", member);
      entry.key = std::string_view(member);
      haveKey = true;
    } else if (name == "size") {
      if (type == element_type::NULL_VALUE) {
        entry.size.reset();
      } else if (type == element_type::INT64) {
        entry.size = int64_t(member);
        // A size below zero is no size: the record is as bad as one of the
        // wrong type, rather than a file that shows a huge or empty length.
        if (*entry.size < 0) {
          return fail(kDecodingErrorDomain, 1,
                      "The member \"" + recordMember(index, name) +
                          "\" should be zero or more but is " + std::to_string(*entry.size) + ".");
        }
      } else {
        return mismatch(recordMember(index, name), "an integer that fits in 64 signed bits",
                        member);
      }
    } else if (name == "etag" || name == "modified") {
      auto& slot = name == "etag" ? entry.etag : entry.modified;
      if (type == element_type::NULL_VALUE) {
        slot.reset();
      } else if (type == element_type::STRING) {
        slot = std::string_view(member);
      } else {
        return mismatch(recordMember(index, name), "a string", member);
      }
    } else if (name == "dir") {
      if (type == element_type::NULL_VALUE) {
        entry.dir.reset();
      } else if (type == element_type::BOOL) {
        entry.dir = bool(member);
      } else {
        return mismatch(recordMember(index, name), "a boolean", member);
      }
    }
  }
  if (!haveKey) return missing(recordMember(index, "key"));
  return entry;
}

}  // namespace

Result<std::optional<std::string>> decodeStorageList(
    std::string_view body, const std::function<void(const StorageEntry&)>& onRecord) {
  LargeParserRelease release;  // after everything that points into the parser
  Result<simdjson::dom::object> root = parseObject(body);
  if (!root) return std::unexpected(root.error());

  element entries;
  if (root->at_key("entries").get(entries) || entries.type() == element_type::NULL_VALUE) {
    return missing("entries");
  }
  if (entries.type() != element_type::ARRAY) return mismatch("entries", "an array", entries);

  std::optional<std::string> cursor;
  element cursorValue;
  if (!root->at_key("cursor").get(cursorValue)) {
    if (cursorValue.type() == element_type::STRING) {
      cursor = std::string(std::string_view(cursorValue));
    } else if (cursorValue.type() != element_type::NULL_VALUE) {
      return mismatch("cursor", "a string", cursorValue);
    }
  }

  size_t index = 0;
  for (element value : simdjson::dom::array(entries)) {
    Result<StorageEntry> record = decodeRecord(value, index++);
    if (!record) return std::unexpected(record.error());
    onRecord(*record);
  }
  return cursor;
}

Result<DownloadURLResponse> decodeDownloadURLResponse(std::string_view body) {
  Result<simdjson::dom::object> root = parseObject(body);
  if (!root) return std::unexpected(root.error());

  DownloadURLResponse response;
  element url;
  if (root->at_key("url").get(url) || url.type() == element_type::NULL_VALUE) {
    return missing("url");
  }
  if (url.type() != element_type::STRING) return mismatch("url", "a string", url);
  response.url = std::string(std::string_view(url));

  element expires;
  if (!root->at_key("expires").get(expires)) {
    switch (expires.type()) {
      case element_type::NULL_VALUE:
        break;
      case element_type::DOUBLE:
        response.expires = double(expires);
        break;
      case element_type::INT64:
        response.expires = static_cast<double>(int64_t(expires));
        break;
      case element_type::UINT64:
        response.expires = static_cast<double>(uint64_t(expires));
        break;
      default:
        return mismatch("expires", "a number", expires);
    }
  }
  return response;
}

}  // namespace lumora::backend
