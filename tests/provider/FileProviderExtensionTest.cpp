#include "extension/provider/FileProviderExtension.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include "extension/provider/FileProviderItem.h"
#include "tests/provider/ProviderTestSupport.h"

namespace lumora::provider {
namespace {

using namespace lumora::fileprovider;
using namespace lumora::provider::testing;
namespace fs = std::filesystem;

// Downloads land in the temporary folder: a private one, so that files of
// other programs never disturb the check that failures leave nothing behind.
class PrivateTemporaryFolder : public ::testing::Environment {
 public:
  PrivateTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "lumora-provider-tmp-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      folder_ = pattern;
      ::setenv("TMPDIR", folder_.c_str(), 1);
    }
  }
  void TearDown() override {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

 private:
  fs::path folder_;
};
// Set before main, while the process has one thread.
[[maybe_unused]] ::testing::Environment* const kTemporaryFolder =
    ::testing::AddGlobalTestEnvironment(new PrivateTemporaryFolder);

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<fs::path> temporaryFiles() {
  std::set<fs::path> files;
  for (const auto& e : fs::directory_iterator(fs::temp_directory_path())) files.insert(e.path());
  return files;
}

struct LookupResult {
  ItemPtr item;
  std::optional<Error> error;
  int64_t completedDuringCompletion = -1;
};

struct FetchResult {
  std::optional<fs::path> file;
  ItemPtr item;
  std::optional<Error> error;
  int64_t completedDuringCompletion = -1;
};

class ExtensionTest : public ServiceTest {
 protected:
  ExtensionTest() : extension(lumoraDomain(), backend) {
    // A small object store: files with their bytes and their download URLs.
    server.get("/storage/list", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string key = req.get_param_value("prefix");
      std::lock_guard lock(mutex);
      if (objects.contains(key) || forbidden.contains(key)) {
        res.set_content(R"({"entries":[{"key":")" + key + R"(","size":)" +
                            std::to_string(objects.contains(key) ? objects[key].size() : 0) +
                            R"(,"etag":"v)" + std::to_string(generation) + R"("}]})",
                        "application/json");
      } else {
        res.set_content(R"({"entries":[]})", "application/json");
      }
    });
    server.get(
        "/storage/download-url", [this](const httplib::Request& req, httplib::Response& res) {
          res.set_content(R"({"url":")" + server.url("/objects/" + req.get_param_value("key")) +
                              R"(","expires":1714557600})",
                          "application/json");
        });
    server.get("/objects/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex);
      auto found = objects.find(req.matches[1].str());
      if (found == objects.end()) {
        res.status = 403;
        res.set_content("<Error>AccessDenied</Error>", "application/xml");
      } else {
        res.set_content(found->second, "application/octet-stream");
      }
    });
  }

  void putObject(const std::string& key, std::string bytes) {
    std::lock_guard lock(mutex);
    objects[key] = std::move(bytes);
    ++generation;
  }

  // The completion may run before the call returns: it waits on `gate`
  // until the progress is known.
  template <class Result>
  struct Pending {
    std::mutex gate;
    ProgressPtr progress;
    std::promise<Result> done;
    int64_t completedNow() {
      std::lock_guard lock(gate);
      return progress->completedUnitCount();
    }
  };

  LookupResult lookup(const ItemIdentifier& id) {
    auto pending = std::make_shared<Pending<LookupResult>>();
    std::unique_lock hold(pending->gate);
    pending->progress = extension.itemForIdentifier(
        id, Request{}, [pending](ItemPtr item, std::optional<Error> error) {
          const int64_t completed = pending->completedNow();
          pending->done.set_value({std::move(item), std::move(error), completed});
        });
    EXPECT_EQ(pending->progress->totalUnitCount(), 1);
    ProgressPtr progress = pending->progress;
    hold.unlock();
    auto future = pending->done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "no completion for " << id;
      return {};
    }
    auto result = future.get();
    EXPECT_TRUE(waitUntil([&] { return progress->completedUnitCount() == 1; }));
    return result;
  }

  FetchResult fetch(const ItemIdentifier& id, std::optional<ItemVersion> version = std::nullopt,
                    ProgressPtr* progressOut = nullptr) {
    auto pending = std::make_shared<Pending<FetchResult>>();
    std::unique_lock hold(pending->gate);
    pending->progress = extension.fetchContents(
        id, version, Request{},
        [pending](std::optional<fs::path> file, ItemPtr item, std::optional<Error> error) {
          const int64_t completed = pending->completedNow();
          pending->done.set_value({std::move(file), std::move(item), std::move(error), completed});
        });
    EXPECT_EQ(pending->progress->totalUnitCount(), 100);
    if (progressOut) *progressOut = pending->progress;
    hold.unlock();
    auto future = pending->done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "no completion for " << id;
      return {};
    }
    return future.get();
  }

  std::mutex mutex;
  std::map<std::string, std::string> objects;  // guarded by mutex
  std::set<std::string> forbidden;  // listed, refused by the storage host; guarded by mutex
  int generation = 0;               // guarded by mutex
  FileProviderExtension extension;
};

TEST_F(ExtensionTest, RootAndFolderLookupsNeedNoRequest) {
  auto root = lookup(kRootContainerItemIdentifier);
  ASSERT_TRUE(root.item);
  EXPECT_FALSE(root.error);
  EXPECT_EQ(root.item->itemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(root.item->parentItemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(root.item->filename(), "Lumora");
  EXPECT_EQ(root.item->contentType(), "inode/directory");
  EXPECT_EQ(root.item->capabilities(), 1u);
  // The progress is completed only after the completion has returned.
  EXPECT_EQ(root.completedDuringCompletion, 0);

  auto photos = lookup("mirror/photos/");
  ASSERT_TRUE(photos.item);
  EXPECT_EQ(photos.item->itemIdentifier(), "mirror/photos/");
  EXPECT_EQ(photos.item->filename(), "photos");
  EXPECT_EQ(photos.item->parentItemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(photos.item->documentSize(), std::nullopt);
  EXPECT_EQ(photos.item->itemVersion(), (ItemVersion{"dir", "dir|mirror/photos/"}));

  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ExtensionTest, FileLookupsAskForTheExactKey) {
  putObject("mirror/docs/report.pdf", "%PDF-1.7");
  auto found = lookup("mirror/docs/report.pdf");
  ASSERT_TRUE(found.item) << found.error->description;
  EXPECT_EQ(found.item->itemIdentifier(), "mirror/docs/report.pdf");
  EXPECT_EQ(found.item->parentItemIdentifier(), "mirror/docs/");
  EXPECT_EQ(found.item->contentType(), "application/pdf");
  EXPECT_EQ(found.item->documentSize(), 8);
  EXPECT_EQ(found.item->itemVersion().contentVersion, "v1");

  auto missing = lookup("mirror/docs/gone.txt");
  EXPECT_FALSE(missing.item);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->domain, kFileProviderErrorDomain);
  EXPECT_EQ(missing.error->code, kErrorNoSuchItem);
  EXPECT_EQ(missing.completedDuringCompletion, 0);

  auto sent = server.requestsTo("/storage/list");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].query,
            (lumora::testing::NameValues{{"prefix", "mirror/docs/gone.txt"}, {"exact", "1"}}));
  EXPECT_EQ(sent[1].header("Authorization"), "Bearer t0k");
}

TEST_F(ExtensionTest, WorkingSetAndTrashLookupsAreExactKeyLookups) {
  for (const auto& id : {kWorkingSetContainerItemIdentifier, kTrashContainerItemIdentifier}) {
    server.clearRecords();
    auto result = lookup(id);
    EXPECT_FALSE(result.item);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kErrorNoSuchItem);
    auto sent = server.requestsTo("/storage/list");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query, (lumora::testing::NameValues{{"prefix", id}, {"exact", "1"}}));
  }
}

TEST_F(ExtensionTest, FetchCompletesTheProgressBeforeTheCompletionAndHandsTheFileOver) {
  const std::string bytes = std::string("hello\0world\n", 12) + std::string(70000, 'z');
  putObject("mirror/docs/a.bin", bytes);
  ProgressPtr progress;
  auto result = fetch("mirror/docs/a.bin", std::nullopt, &progress);
  ASSERT_TRUE(result.file) << result.error->description;
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.completedDuringCompletion, 100);
  EXPECT_EQ(progress->completedUnitCount(), 100);
  EXPECT_EQ(readAll(*result.file), bytes);
  struct stat info {};
  ASSERT_EQ(::stat(result.file->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_TRUE(result.item);
  EXPECT_EQ(result.item->itemIdentifier(), "mirror/docs/a.bin");
  EXPECT_EQ(result.item->documentSize(), static_cast<int64_t>(bytes.size()));

  auto urlRequests = server.requestsTo("/storage/download-url");
  ASSERT_EQ(urlRequests.size(), 1u);
  EXPECT_EQ(urlRequests[0].queryValue("key"), "mirror/docs/a.bin");
  EXPECT_EQ(urlRequests[0].header("Authorization"), "Bearer t0k");
  auto objectRequests = server.requestsTo("/objects/mirror/docs/a.bin");
  ASSERT_EQ(objectRequests.size(), 1u);
  EXPECT_EQ(objectRequests[0].header("Authorization"), std::nullopt);
  fs::remove(*result.file);
}

TEST_F(ExtensionTest, TheRequestedVersionHasNoEffect) {
  putObject("mirror/v.txt", "first");
  auto current = fetch("mirror/v.txt", ItemVersion{"v1", "m"});
  putObject("mirror/v.txt", "second");
  // Asking for the old version still brings the current contents.
  auto old = fetch("mirror/v.txt", ItemVersion{"v1", "m"});
  auto other = fetch("mirror/v.txt", ItemVersion{"zzz", ""});
  ASSERT_TRUE(current.file && old.file && other.file);
  EXPECT_EQ(readAll(*current.file), "first");
  EXPECT_EQ(readAll(*old.file), "second");
  EXPECT_EQ(readAll(*other.file), "second");
  EXPECT_EQ(old.item->itemVersion().contentVersion, "v2");
  for (const auto& r : {current, old, other}) fs::remove(*r.file);
}

TEST_F(ExtensionTest, FailedFetchesLeaveTheProgressAtZeroAndNoFileBehind) {
  const auto before = temporaryFiles();
  // Unknown to the service: the look-up fails, nothing is downloaded.
  ProgressPtr progress;
  auto missing = fetch("mirror/nothing.txt", std::nullopt, &progress);
  EXPECT_FALSE(missing.file);
  EXPECT_FALSE(missing.item);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->code, kErrorNoSuchItem);
  EXPECT_EQ(progress->completedUnitCount(), 0);
  EXPECT_TRUE(server.requestsTo("/storage/download-url").empty());

  // Listed, but the storage host refuses the object: an error page is not
  // the file's contents.
  {
    std::lock_guard lock(mutex);
    forbidden.insert("mirror/secret.txt");
  }
  auto refused = fetch("mirror/secret.txt", std::nullopt, &progress);
  EXPECT_FALSE(refused.file);
  EXPECT_FALSE(refused.item);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code, kErrorServerUnreachable);
  EXPECT_EQ(refused.completedDuringCompletion, 0);
  EXPECT_EQ(progress->completedUnitCount(), 0);
  EXPECT_EQ(server.requestsTo("/objects/mirror/secret.txt").size(), 1u);

  removeToken();
  auto signedOut = fetch("mirror/secret.txt", std::nullopt, &progress);
  ASSERT_TRUE(signedOut.error);
  EXPECT_EQ(signedOut.error->code, kErrorNotAuthenticated);
  EXPECT_EQ(temporaryFiles(), before);
}

struct PartialResult {
  std::optional<PartialContents> contents;
  std::optional<Error> error;
  std::string bytes;  // what the sink took, in order
  uint64_t firstOffset = 0;
  ProgressPtr progress;
};

PartialResult fetchPartial(FileProviderExtension& extension, const ItemIdentifier& id,
                           ItemVersion version, ByteRange range, uint64_t alignment) {
  auto result = std::make_shared<PartialResult>();
  auto done = std::make_shared<std::promise<void>>();
  auto sink = [result](uint64_t offset, const char* data, size_t size) {
    if (result->bytes.empty()) result->firstOffset = offset;
    EXPECT_EQ(offset, result->firstOffset + result->bytes.size());
    result->bytes.append(data, size);
    return true;
  };
  result->progress = extension.fetchPartialContents(
      id, version, Request{}, range, alignment, sink,
      [result, done](std::optional<PartialContents> contents, std::optional<Error> error) {
        result->contents = std::move(contents);
        result->error = std::move(error);
        done->set_value();  // a second call would throw here
      });
  EXPECT_EQ(result->progress->totalUnitCount(), 100);
  EXPECT_EQ(done->get_future().wait_for(30s), std::future_status::ready) << id;
  return *result;
}

TEST_F(ExtensionTest, PartialFetchStreamsTheAlignedSpanOfTheVersionAsked) {
  std::string bytes(100000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 251);
  putObject("mirror/big.bin", bytes);  // listed as version "v1"
  auto got = fetchPartial(extension, "mirror/big.bin", ItemVersion{"v1", ""}, {5000, 100}, 4096);
  ASSERT_TRUE(got.contents) << got.error->description;
  EXPECT_FALSE(got.error);
  EXPECT_EQ(got.contents->range.offset, 4096u);
  EXPECT_EQ(got.contents->range.length, 4096u);
  EXPECT_FALSE(got.contents->reachesEnd);
  EXPECT_EQ(got.contents->fileSize, bytes.size());
  EXPECT_EQ(got.firstOffset, 4096u);
  EXPECT_EQ(got.bytes, bytes.substr(4096, 4096));
  ASSERT_TRUE(got.contents->item);
  EXPECT_EQ(got.contents->item->itemIdentifier(), "mirror/big.bin");
  EXPECT_EQ(got.contents->item->itemVersion().contentVersion, "v1");
  EXPECT_EQ(got.progress->completedUnitCount(), 100);
  EXPECT_EQ(server.requestsTo("/objects/mirror/big.bin").at(0).header("Range"), "bytes=4096-8191");

  putObject("mirror/big.bin", bytes);  // now "v2": the old version is gone
  auto old = fetchPartial(extension, "mirror/big.bin", ItemVersion{"v1", ""}, {0, 10}, 0);
  EXPECT_FALSE(old.contents);
  ASSERT_TRUE(old.error);
  EXPECT_EQ(old.error->code, kErrorVersionNoLongerAvailable);
  EXPECT_EQ(old.bytes, "");
  EXPECT_EQ(old.progress->completedUnitCount(), 0);
}

TEST_F(ExtensionTest, ChangesAreRefusedAtOnceWithAFreshErrorAndNoUnits) {
  std::vector<Error> errors;
  const auto caller = std::this_thread::get_id();
  auto onChange = [&](ItemPtr item, ItemFields fields, bool fetchAgain, std::optional<Error> e) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_FALSE(item);
    EXPECT_EQ(fields, 0u);
    EXPECT_FALSE(fetchAgain);
    ASSERT_TRUE(e);
    errors.push_back(*e);
  };
  backend::Entry entry;
  entry.id = "mirror/a.txt";
  auto item = std::make_shared<FileProviderItem>(entry);

  std::vector<ProgressPtr> progresses;
  progresses.push_back(extension.createItem(item, ~ItemFields{0}, fs::path("/etc/hostname"), 7,
                                            Request{}, onChange));
  ASSERT_EQ(errors.size(), 1u);  // completed before returning
  progresses.push_back(extension.modifyItem(item, ItemVersion{"a", "b"}, ~ItemFields{0},
                                            std::nullopt, 0, Request{}, onChange));
  ASSERT_EQ(errors.size(), 2u);
  progresses.push_back(extension.deleteItem("mirror/a.txt", ItemVersion{}, 0, Request{},
                                            [&](std::optional<Error> e) {
                                              ASSERT_TRUE(e);
                                              errors.push_back(*e);
                                            }));
  ASSERT_EQ(errors.size(), 3u);
  progresses.push_back(extension.deleteItem(kRootContainerItemIdentifier, ItemVersion{}, 0,
                                            Request{}, [&](std::optional<Error> e) {
                                              ASSERT_TRUE(e);
                                              errors.push_back(*e);
                                            }));
  ASSERT_EQ(errors.size(), 4u);
  for (const auto& e : errors) {
    EXPECT_EQ(e.domain, kFileProviderErrorDomain);
    EXPECT_EQ(e.code, kErrorNoSuchItem);
  }
  for (const auto& p : progresses) {
    EXPECT_EQ(p->totalUnitCount(), 0);
    EXPECT_EQ(p->completedUnitCount(), 0);
  }
  EXPECT_NE(progresses[0], progresses[1]);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ExtensionTest, EnumeratorsForAnyIdentifierShareTheOneBackend) {
  const Error untouched{"sentinel", 42, "left alone"};
  for (const auto& id : {kRootContainerItemIdentifier, kWorkingSetContainerItemIdentifier,
                         kTrashContainerItemIdentifier, ItemIdentifier("any text at all")}) {
    std::optional<Error> error = untouched;
    auto enumerator = extension.enumeratorForContainerItemIdentifier(id, Request{}, &error);
    ASSERT_TRUE(enumerator);
    EXPECT_EQ(error, untouched);
    auto* concrete = dynamic_cast<FileProviderEnumerator*>(enumerator.get());
    ASSERT_TRUE(concrete);
    EXPECT_EQ(concrete->containerID(), id);
    EXPECT_EQ(concrete->backend().get(), backend.get());
  }
  EXPECT_EQ(extension.domain().identifier, "com.lumora.desktop.default");
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST(ExtensionForDomain, MakesOneBackendForTheDomainKeptAliveByItsEnumerators) {
  lumora::testing::TempHome home;
  const Domain domain{"com.lumora.desktop.default", "Lumora"};
  auto extension = std::make_unique<FileProviderExtension>(domain);
  EXPECT_EQ(extension->domain().identifier, domain.identifier);
  EXPECT_EQ(extension->domain().displayName, domain.displayName);
  std::weak_ptr<const backend::LumoraBackend> backend = extension->backend();
  ASSERT_FALSE(backend.expired());
  EXPECT_EQ(backend.lock()->domain().identifier, domain.identifier);
  EXPECT_EQ(backend.lock()->appGroup(), "ZX4T7R2M8Q.group.com.lumora.desktop");
  EXPECT_TRUE(backend.lock()->apiBase().starts_with("https://"));

  auto enumerator = extension->enumeratorForContainerItemIdentifier(kRootContainerItemIdentifier,
                                                                    Request{}, nullptr);
  extension.reset();
  EXPECT_FALSE(backend.expired());  // the enumerator still holds it
  enumerator.reset();
  EXPECT_TRUE(backend.expired());
}

}  // namespace
}  // namespace lumora::provider
