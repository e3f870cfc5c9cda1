#pragma once
// A second JSON reader (nlohmann) that the storage decoders are checked
// against: it says whether a body is JSON at all and whether any object in
// it repeats a member name (where JSON readers may rightly differ).

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumora::fuzz {

struct ReferenceJson {
  bool valid = false;
  bool repeatsMember = false;
  // A number beyond what the decoders must take: too large for a double, or
  // an integer literal beyond 64 bits (JSON lets readers limit numbers).
  bool hasHugeNumber = false;
  nlohmann::json value;
};

// Notes repeated member names and huge numbers while the text is read.
struct ReferenceScan : nlohmann::json_sax<nlohmann::json> {
  std::vector<std::set<std::string>> open;  // member names of each open object
  bool repeats = false;
  bool huge = false;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t value, const string_t& literal) override {
    if (value != value || value - value != 0 || literal.find_first_of(".eE") == std::string::npos) {
      huge = true;
    }
    return true;
  }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    open.emplace_back();
    return true;
  }
  bool key(string_t& name) override {
    if (!open.empty() && !open.back().insert(name).second) repeats = true;
    return true;
  }
  bool end_object() override {
    if (!open.empty()) open.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

inline ReferenceJson readReference(std::string_view body) {
  ReferenceJson out;
  // No JSON text holds a NUL byte, but this reader takes one as the end.
  if (body.find('\0') != std::string_view::npos) return out;
  out.value = nlohmann::json::parse(body.begin(), body.end(), nullptr,
                                    /*allow_exceptions=*/false);
  out.valid = !out.value.is_discarded();
  if (out.valid) {
    ReferenceScan scan;
    nlohmann::json::sax_parse(body.begin(), body.end(), &scan);
    out.repeatsMember = scan.repeats;
    out.hasHugeNumber = scan.huge;
  }
  return out;
}

// True for an integer that fits in 64 signed bits, as a JSON integer literal.
inline bool isInt64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>() <= uint64_t(INT64_MAX);
  return value.is_number_integer();
}

}  // namespace lumora::fuzz
