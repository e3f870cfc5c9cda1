// The backend's ranged fetch: a span of one version of an object, streamed
// from the object's download URL with a ranged GET. The URL, the version the
// host first stated (ETag, else Last-Modified) and the size are kept per key
// and version, so that later ranges need one request each, and a changed
// object fails the read instead of mixing two versions' bytes. A host may
// answer a range with fewer bytes than asked, or without stating the total
// ("bytes a-b/*"): what came is taken and the rest asked for again.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

#include "extension/backend/ContentRange.h"
#include "extension/backend/LumoraBackend.h"
#include "extension/backend/ObjectSources.h"
#include "platform/foundation/HttpSession.h"

namespace lumora::backend {
namespace {

using fileprovider::ByteRange;
using fileprovider::PartialContentSink;

Error versionGone() {
  return fileprovider::fileProviderError(fileprovider::kErrorVersionNoLongerAvailable);
}
Error unreachable() {
  return fileprovider::fileProviderError(fileprovider::kErrorServerUnreachable);
}

// Answers that each bring at least one byte, asked for in turn to complete
// one span; a host that dribbles out less is treated as a cut transfer.
constexpr int kMaxAnswersPerSpan = 64;

double secondsSinceEpoch() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// The span to ask for, [first, end): widened outward to the alignment, at
// least one byte so that even an empty request learns the size.
struct Span {
  uint64_t first = 0;
  uint64_t end = 0;
};

Span alignedSpan(ByteRange minimal, uint64_t alignment) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t length = minimal.length == 0 ? 1 : minimal.length;
  uint64_t end = minimal.offset > kMax - length ? kMax : minimal.offset + length;
  if (alignment <= 1) return Span{minimal.offset, end};
  uint64_t first = minimal.offset / alignment * alignment;
  uint64_t rest = end % alignment;
  if (rest != 0) end = end > kMax - (alignment - rest) ? kMax : end + (alignment - rest);
  return Span{first, end};
}

ObjectValidator validatorOf(const HttpResponseHead& head) {
  return ObjectValidator{head.header("ETag").value_or(""),
                         head.header("Last-Modified").value_or("")};
}

// The condition under which the host may answer only for the pinned
// version: If-Match needs a strong tag (412 when changed); with a date only,
// If-Range makes a changed object come whole, which its date then betrays.
HttpHeaders conditionFor(const ObjectValidator& pinned) {
  if (!pinned.etag.empty() && !pinned.etag.starts_with("W/")) return {{"If-Match", pinned.etag}};
  if (pinned.etag.empty() && !pinned.lastModified.empty()) {
    return {{"If-Range", pinned.lastModified}};
  }
  return {};
}

// One ranged GET: judges the head before any byte goes to the sink, then
// passes on exactly the span that the answer covers.
class RangeReader {
 public:
  // `listedSize`: the size to go by when the host states none.
  RangeReader(Span span, ObjectSource& source, const PartialContentSink& sink, uint64_t listedSize)
      : span_(span), source_(source), sink_(sink), listedSize_(listedSize) {}

  bool onHead(const HttpResponseHead& head) {
    status_ = head.status;
    if (status_ == 403) return false;  // the caller may try a fresh URL
    if (status_ == 412) return fail(versionGone());
    if (status_ == 416) return onRefusedRange(head);
    if (status_ < 200 || status_ > 299) return fail(statusError(status_));
    if (!source_.admit(validatorOf(head))) return fail(versionGone());
    return status_ == 206 ? onPartial(head) : onWhole(head);
  }

  bool onBody(const char* data, size_t size) {
    uint64_t at = position_;
    position_ += size;
    if (partial_ && position_ > to_) {
      return fail(transferError(TransferError::badResponse,
                                "The storage host sent more bytes than its Content-Range said."));
    }
    // Of a whole body only the span goes on; the bytes before it are skipped.
    uint64_t from = std::max(at, from_);
    uint64_t until = std::min(position_, to_);
    if (from < until) {
      if (sink_ && !sink_(from, data + (from - at), static_cast<size_t>(until - from))) {
        return fail(posixError(ECANCELED, "the reader stopped the transfer"));
      }
      delivered_ += until - from;
    }
    // A partial answer runs to its end, which leaves the connection for
    // reuse. A whole body of known size is stopped once the span is in; one
    // of unknown size is read on to learn the size.
    return partial_ || !(size_ && position_ >= to_);
  }

  // The outcome once the transfer has ended (`ended`: not stopped early).
  Result<RangeFetch> finish(bool ended) {
    if (error_) return std::unexpected(*error_);
    if (atEnd_) return RangeFetch{ByteRange{*size_, 0}, true, *size_, {}};
    if (!size_ && partial_) {
      // Only "/*" totals so far: the size known from before, else listed.
      size_ = source_.size().value_or(listedSize_);
      if (*size_ < to_ || !source_.admitSize(*size_)) return std::unexpected(versionGone());
    }
    if (!size_) {
      if (!ended) return std::unexpected(unreachable());
      size_ = position_;  // a whole body of undeclared length, read to its end
      if (!source_.admitSize(*size_)) return std::unexpected(versionGone());
    }
    uint64_t to = std::min(to_, *size_);
    uint64_t from = std::min(from_, to);
    if (delivered_ != to - from) {
      return std::unexpected(
          transferError(TransferError::connectionLost, "The storage host ended the answer early."));
    }
    return RangeFetch{ByteRange{from, to - from}, to >= *size_, *size_, {}};
  }

  long status() const { return status_; }
  bool failed() const { return error_.has_value(); }

 private:
  bool fail(Error error) {
    error_ = std::move(error);
    return false;
  }

  bool onRefusedRange(const HttpResponseHead& head) {
    // Only a range starting at or past the end is refused by a sound host;
    // that is the end of the file, not an error.
    auto range = parseContentRange(head.header("Content-Range").value_or(""));
    if (!range || range->first || !range->total || span_.first < *range->total) {
      return fail(statusError(416));
    }
    if (!source_.admitSize(*range->total)) return fail(versionGone());
    size_ = range->total;
    atEnd_ = true;
    return false;
  }

  bool onPartial(const HttpResponseHead& head) {
    auto range = parseContentRange(head.header("Content-Range").value_or(""));
    // It may stop short of what was asked (the rest is asked for again) and
    // leave the total out, but it must begin where asked.
    if (!range || !range->first || *range->first != span_.first || *range->last >= span_.end ||
        (head.contentLength && *head.contentLength != *range->last - *range->first + 1)) {
      return fail(transferError(TransferError::badResponse,
                                "The storage host answered another range than the one asked for."));
    }
    if (range->total && !source_.admitSize(*range->total)) return fail(versionGone());
    partial_ = true;
    size_ = range->total;
    from_ = position_ = span_.first;
    to_ = *range->last + 1;
    return true;
  }

  // A host that ignores Range sends the whole object from its first byte.
  bool onWhole(const HttpResponseHead& head) {
    if (head.contentLength) {
      if (!source_.admitSize(*head.contentLength)) return fail(versionGone());
      size_ = head.contentLength;
    } else {
      size_ = source_.size();  // known from an earlier range, if any
    }
    from_ = span_.first;
    to_ = size_ ? std::min(span_.end, *size_) : span_.end;
    // Nothing of the body is needed when the span lies past its end.
    return !(size_ && from_ >= *size_);
  }

  const Span span_;
  ObjectSource& source_;
  const PartialContentSink& sink_;
  const uint64_t listedSize_;
  long status_ = 0;
  std::optional<Error> error_;
  bool partial_ = false;
  bool atEnd_ = false;            // a refused range past the end
  std::optional<uint64_t> size_;  // the object's size, once stated
  uint64_t from_ = 0, to_ = 0;    // the span to pass on, [from_, to_)
  uint64_t position_ = 0;         // file offset of the next body byte
  uint64_t delivered_ = 0;
};

}  // namespace

Result<RangeFetch> LumoraBackend::fetchRange(const fileprovider::ItemIdentifier& identifier,
                                             const std::string& contentVersion, ByteRange minimal,
                                             uint64_t alignment, const PartialContentSink& sink,
                                             bool speculative) const {
  std::string sourceKey = identifier;
  sourceKey.push_back('\0');  // neither a key nor a tag holds a NUL
  sourceKey += contentVersion;
  std::shared_ptr<ObjectSource> source = sources_->obtain(sourceKey);
  auto drop = [&](Error error) -> Result<RangeFetch> {
    sources_->forget(sourceKey, source.get());
    return std::unexpected(std::move(error));
  };

  bool freshUrl = false;  // a URL fetched for this very call is not refreshed on a 403
  {
    std::lock_guard setup(source->setup);
    if (!source->entry) {
      // The version a listing named needs only a URL: If-Match with the
      // listed tag on the first range catches a change (412).
      if (std::optional<Entry> listed = sources_->listed(identifier, contentVersion)) {
        auto url = freshDownloadUrl(identifier);
        if (!url) return drop(url.error());
        source->setUrl(std::move(url->first), url->second);
        source->entry = std::move(*listed);
        freshUrl = true;
      }
    }
    if (!source->entry) {
      // The URL is of no use when the version is not the one asked for.
      Result<LocatedEntry> located = locateFile(identifier);
      if (!located) return drop(located.error());
      if (!contentVersion.empty() && located->entry.contentETag != contentVersion)
        return drop(versionGone());
      source->setUrl(std::move(located->url.first), located->url.second);
      source->entry = std::move(located->entry);
      freshUrl = true;
    }
  }
  const Entry& entry = *source->entry;
  // A host that states no version (no ETag, no date) cannot be asked for the
  // pinned one: the listing is asked instead, before every later range.
  if (!freshUrl && source->size() && source->pinned().empty()) {
    Result<Entry> current = lookupEntry(identifier);
    if (!current) return std::unexpected(current.error());
    if (current->contentETag != entry.contentETag) return drop(versionGone());
  }

  Span span = alignedSpan(minimal, alignment);
  if (std::optional<uint64_t> size = source->size()) {
    if (span.first >= *size) return RangeFetch{ByteRange{*size, 0}, true, *size, entry};
    span.end = std::min(span.end, *size);
  }

  std::optional<uint64_t> began;  // where the first answer of this call began
  int answers = 0;
  for (;;) {
    ObjectSource::Url url = source->url(secondsSinceEpoch());
    // A URL fetched for this very call is the freshest there is, whatever
    // its stated expiry.
    if (!url.usable && !freshUrl) {
      auto renewed = freshDownloadUrl(entry.id);
      if (!renewed) return std::unexpected(renewed.error());
      source->setUrl(renewed->first, renewed->second);
      url.url = std::move(renewed->first);
      freshUrl = true;
    }
    // The URL carries its own authorisation: no header of the backend's own.
    ObjectValidator pinned = source->pinned();
    // Under a weak tag two answers may hold different bytes of "the same"
    // version: a range is never stitched to another one.
    if (pinned.etag.starts_with("W/")) return drop(versionGone());
    HttpHeaders headers = conditionFor(pinned);
    // Nothing pinned yet: the first answer is held to the version the
    // listing named, so that a newer object's bytes are never taken for it
    // (412: that version is gone).
    std::optional<std::string> listedTag;
    if (pinned.empty() && entry.contentETagIsTag) listedTag = strongTag(entry.contentETag);
    if (listedTag && sources_->listedTagsHold.load()) headers.emplace_back("If-Match", *listedTag);
    headers.emplace_back("Range", rangeHeaderValue(span.first, span.end));
    RangeReader reader(span, *source, sink,
                       static_cast<uint64_t>(std::max<int64_t>(0, entry.size)));
    HttpStreamReceiver receiver{
        [&](const HttpResponseHead& head) { return reader.onHead(head); },
        [&](const char* data, size_t size) { return reader.onBody(data, size); }};
    // Read-ahead, cut when nobody wants it, would close the connections it
    // took: those of waited-for reads (the first block, a seek) stay warm.
    const HttpSession& session = speculative ? *speculativeSession_ : *session_;
    Result<HttpStreamResult> answer = session.stream(url.url, headers, receiver);
    if (!answer && !reader.failed()) return std::unexpected(answer.error());
    if (reader.status() == 403 && !reader.failed()) {
      // A kept URL may have been revoked before its stated expiry: one
      // fresh URL, one more try.
      if (freshUrl) return drop(statusError(403));
      source->setUrl({}, std::nullopt);
      continue;
    }
    Result<RangeFetch> fetched = reader.finish(answer && !answer->stopped);
    if (!fetched) {
      bool hostRefused = fetched.error().domain == kFileProviderErrorDomain;
      if (hostRefused) return drop(fetched.error());
      return fetched;
    }
    if (listedTag && source->pinned().etag == *listedTag) sources_->listedTagsHold.store(true);
    if (!began) began = fetched->range.offset;
    uint64_t reached = fetched->range.offset + fetched->range.length;
    fetched->range = ByteRange{*began, reached - *began};
    // A shorter answer than asked: the rest, from where it stopped (never
    // under a weak tag, whose answers are not stitched).
    bool weak = source->pinned().etag.starts_with("W/");
    if (!weak && !fetched->reachesEnd && reached < span.end && reached > span.first &&
        ++answers < kMaxAnswersPerSpan) {
      span.first = reached;
      continue;
    }
    fetched->entry = entry;
    fetched->wholeOnly = weak && !(fetched->range.offset == 0 && fetched->reachesEnd);
    return fetched;
  }
}

}  // namespace lumora::backend
