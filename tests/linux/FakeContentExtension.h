#pragma once
// An extension that serves parts of in-memory files, each fetch on a thread
// of its own, for testing the daemon's reading without a service or a
// mount. It counts what it was asked for and can fail, stall or change a
// file under a reader.

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/Protocols.h"
#include "platform/foundation/Error.h"

namespace lumora::testing {

class FakeContentExtension final : public fileprovider::ReplicatedExtension,
                                   public fileprovider::PartialContentFetching {
 public:
  ~FakeContentExtension() override;

  void setFile(const std::string& id, std::string contents, std::string version = "v1");
  // The next `count` fetches fail as a service that answers 500 would.
  void failNext(int count) { failures_ = count; }
  // The next `count` fetches deliver `bytes` bytes of their answer, then
  // fail as a connection lost part-way would.
  void cutNext(int count, uint64_t bytes) {
    cutAfter_ = bytes;
    cuts_ = count;
  }
  // Look-ups answer these errors first, in order; then the item of a file
  // set here, else "no such item".
  void failLookups(std::vector<Error> errors);
  // Fetches wait until release() (or the fake's end).
  void stall();
  void release();

  std::atomic<int> fetches{0};
  std::atomic<int> lookups{0};
  std::atomic<uint64_t> bytesSent{0};
  std::atomic<int> mostAtOnce{0};
  std::vector<fileprovider::ByteRange> ranges() const;
  // Whether each of those was asked for as speculative.
  std::vector<bool> speculative() const;
  // No fetch is under way.
  bool idle() const { return running_.load() == 0; }

  fileprovider::ProgressPtr fetchPartialContents(
      const fileprovider::ItemIdentifier& identifier, const fileprovider::ItemVersion& version,
      const fileprovider::Request& request, fileprovider::ByteRange minimalRange,
      uint64_t alignment, fileprovider::PartialContentSink sink,
      fileprovider::PartialFetchCompletion completion) override;

  // The rest answers as an extension that has nothing else to offer.
  void invalidate() override {}
  fileprovider::ProgressPtr itemForIdentifier(const fileprovider::ItemIdentifier&,
                                              const fileprovider::Request&,
                                              fileprovider::ItemCompletion c) override;
  fileprovider::ProgressPtr fetchContents(const fileprovider::ItemIdentifier&,
                                          const std::optional<fileprovider::ItemVersion>&,
                                          const fileprovider::Request&,
                                          fileprovider::FetchCompletion c) override;
  fileprovider::ProgressPtr createItem(fileprovider::ItemPtr, fileprovider::ItemFields,
                                       const std::optional<std::filesystem::path>&, uint64_t,
                                       const fileprovider::Request&,
                                       fileprovider::ChangeCompletion c) override;
  fileprovider::ProgressPtr modifyItem(fileprovider::ItemPtr, const fileprovider::ItemVersion&,
                                       fileprovider::ItemFields,
                                       const std::optional<std::filesystem::path>&, uint64_t,
                                       const fileprovider::Request&,
                                       fileprovider::ChangeCompletion c) override;
  fileprovider::ProgressPtr deleteItem(const fileprovider::ItemIdentifier&,
                                       const fileprovider::ItemVersion&, uint64_t,
                                       const fileprovider::Request&,
                                       fileprovider::DeleteCompletion c) override;
  std::unique_ptr<fileprovider::Enumerator> enumeratorForContainerItemIdentifier(
      const fileprovider::ItemIdentifier&, const fileprovider::Request&,
      std::optional<Error>* error) override;

 private:
  struct File {
    std::string contents;
    std::string version;
  };
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::map<std::string, File> files_;            // protected by mutex_
  std::vector<fileprovider::ByteRange> ranges_;  // protected by mutex_
  std::vector<bool> speculative_;                // protected by mutex_
  bool stalled_ = false;                         // protected by mutex_
  bool ending_ = false;                          // protected by mutex_
  std::vector<std::thread> threads_;             // protected by mutex_
  std::vector<Error> lookupErrors_;              // protected by mutex_
  std::atomic<int> failures_{0};
  std::atomic<int> cuts_{0};
  std::atomic<uint64_t> cutAfter_{0};
  std::atomic<int> running_{0};
};

}  // namespace lumora::testing
