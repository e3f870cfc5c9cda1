// Many framework calls at once: each request gets exactly one final call,
// with the right answer, and every task lets go of what it was given.
#include <atomic>
#include <fstream>
#include <sstream>

#include "extension/provider/FileProviderExtension.h"
#include "tests/provider/ProviderTestSupport.h"

namespace lumora::provider {
namespace {

using namespace lumora::fileprovider;
using namespace lumora::provider::testing;
namespace fs = std::filesystem;

constexpr int kRequests = 100;

std::string objectBytes(int index) {
  return "object " + std::to_string(index) + "\n" +
         std::string(1000 + index * 37, 'a' + index % 26);
}

// The number that ends a key ("mirror/c/f12" is 12).
int indexOf(const std::string& key) {
  const auto digits = key.find_last_not_of("0123456789") + 1;
  return digits < key.size() ? std::stoi(key.substr(digits)) : -1;
}

class ConcurrencyTest : public ServiceTest {
 protected:
  ConcurrencyTest() : extension(lumoraDomain(), backend) {
    server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
      const std::string prefix = req.get_param_value("prefix");
      if (req.has_param("exact")) {
        res.set_content(R"({"entries":[{"key":")" + prefix + R"("}]})", "application/json");
      } else {
        // Folder n holds n files; odd folders have a further page.
        const int n = indexOf(prefix.substr(0, prefix.size() - 1));
        std::vector<std::string> keys;
        keys.reserve(n % 7);
        for (int i = 0; i < n % 7; ++i) keys.push_back(prefix + "f" + std::to_string(i));
        res.set_content(
            listingBody(keys, n % 2 ? std::optional<std::string>("more/" + prefix) : std::nullopt),
            "application/json");
      }
    });
    server.get("/storage/download-url", [this](const httplib::Request& req,
                                               httplib::Response& res) {
      res.set_content(R"({"url":")" + server.url("/objects/" + req.get_param_value("key")) + "\"}",
                      "application/json");
    });
    server.get("/objects/(.*)", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(objectBytes(indexOf(req.matches[1].str())), "application/octet-stream");
    });
  }

  FileProviderExtension extension;
};

TEST_F(ConcurrencyTest, HundredFetchesEachCompleteOnceWithTheirOwnContents) {
  struct Outcome {
    int calls = 0;
    std::optional<fs::path> file;
    std::optional<Error> error;
  };
  std::mutex mutex;
  std::vector<Outcome> outcomes(kRequests);  // guarded by mutex
  std::vector<std::weak_ptr<int>> alive;
  std::vector<ProgressPtr> progresses;
  for (int i = 0; i < kRequests; ++i) {
    auto token = std::make_shared<int>(i);
    alive.push_back(token);
    progresses.push_back(
        extension.fetchContents("mirror/c/f" + std::to_string(i), std::nullopt, Request{},
                                [&outcomes, &mutex, i, token](std::optional<fs::path> file, ItemPtr,
                                                              std::optional<Error> error) {
                                  std::lock_guard lock(mutex);
                                  Outcome& outcome = outcomes[i];
                                  if (outcome.calls++ == 0) {
                                    outcome.file = std::move(file);
                                    outcome.error = std::move(error);
                                  }
                                }));
  }
  // A task drops its completion when it ends: then no further call can come.
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(alive.begin(), alive.end(), [](auto& w) { return w.expired(); });
  }));
  std::lock_guard lock(mutex);
  for (int i = 0; i < kRequests; ++i) {
    Outcome& outcome = outcomes[i];
    EXPECT_EQ(outcome.calls, 1) << i;
    ASSERT_TRUE(outcome.file) << i << ": " << (outcome.error ? outcome.error->description : "");
    std::ifstream in(*outcome.file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ(bytes.str(), objectBytes(i)) << i;
    EXPECT_EQ(progresses[i]->completedUnitCount(), 100);
    fs::remove(*outcome.file);
  }
  EXPECT_EQ(server.requestsTo("/storage/download-url").size(), size_t{kRequests});
}

TEST_F(ConcurrencyTest, HundredEnumerationsEachFinishOnce) {
  std::vector<std::shared_ptr<RecordingEnumerationObserver>> observers;
  std::vector<std::unique_ptr<Enumerator>> enumerators;
  for (int i = 0; i < kRequests; ++i) {
    auto observer = std::make_shared<RecordingEnumerationObserver>();
    observers.push_back(observer);
    enumerators.push_back(extension.enumeratorForContainerItemIdentifier(
        "mirror/d" + std::to_string(i) + "/", Request{}, nullptr));
    enumerators.back()->enumerateItems(std::move(observer), kInitialPageSortedByName);
  }
  for (auto& observer : observers) ASSERT_TRUE(observer->waitFinal());
  // Once every task has let go of its observer, no further call can come.
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(observers.begin(), observers.end(),
                       [](auto& o) { return o.use_count() == 1; });
  }));
  for (int i = 0; i < kRequests; ++i) {
    auto c = observers[i]->calls();
    EXPECT_EQ(c.events, (std::vector<std::string>{"items", "finish"}))
        << i << ": " << (c.error ? c.error->description : "");
    EXPECT_EQ(c.finals, 1);
    ASSERT_EQ(c.items.size(), size_t(i % 7)) << i;
    for (const auto& item : c.items)
      EXPECT_EQ(item->parentItemIdentifier(), "mirror/d" + std::to_string(i) + "/");
    if (i % 2)
      EXPECT_EQ(c.nextPage, "more/mirror/d" + std::to_string(i) + "/");
    else
      EXPECT_EQ(c.nextPage, std::nullopt);
  }
}

TEST_F(ConcurrencyTest, HundredLookupsAndAnchorsEachCompleteOnce) {
  std::vector<std::atomic<int>> lookups(kRequests);
  std::vector<std::atomic<int>> anchors(kRequests);
  std::vector<std::weak_ptr<int>> alive;
  auto enumerator = extension.enumeratorForContainerItemIdentifier(
      kWorkingSetContainerItemIdentifier, Request{}, nullptr);
  for (int i = 0; i < kRequests; ++i) {
    auto token = std::make_shared<int>(i);
    alive.push_back(token);
    extension.itemForIdentifier(
        "mirror/l/f" + std::to_string(i), Request{},
        [&lookups, i, token](ItemPtr item, std::optional<Error>) {
          if (item && item->itemIdentifier() == "mirror/l/f" + std::to_string(i))
            lookups[i].fetch_add(1);
          else
            lookups[i].fetch_add(1000);
        });
    enumerator->currentSyncAnchor([&anchors, i, token](std::optional<SyncAnchor> anchor) {
      anchors[i].fetch_add(anchor && !anchor->empty() ? 1 : 1000);
    });
  }
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(alive.begin(), alive.end(), [](auto& w) { return w.expired(); });
  }));
  for (int i = 0; i < kRequests; ++i) {
    EXPECT_EQ(lookups[i].load(), 1) << i;
    EXPECT_EQ(anchors[i].load(), 1) << i;
  }
}

}  // namespace
}  // namespace lumora::provider
