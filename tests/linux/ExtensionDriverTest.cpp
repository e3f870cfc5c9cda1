// The driver against an extension whose pages are scripted: how a listing
// ends when the cursors do not, and what waits while fetches hang.

#include "platform/fileprovider/linux/driver/ExtensionDriver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <mutex>

#include "extension/provider/FileProviderExtension.h"
#include "platform/fileprovider/linux/base/Errno.h"
#include "tests/backend/BackendHarness.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/RetryTime.h"

namespace lumora::fuse {
namespace {

namespace fp = lumora::fileprovider;
using namespace std::chrono_literals;

// Pages by cursor: the items of each and the cursor that follows it.
struct Script {
  struct Page {
    size_t items = 0;
    std::optional<fp::Page> next;
  };
  std::map<fp::Page, Page> pages;
  size_t requests = 0;
  // Fetches get no answer until answerFetches().
  std::mutex mutex;
  std::vector<fp::FetchCompletion> fetches;  // protected by mutex
  size_t fetchesAsked() {
    std::lock_guard lock(mutex);
    return fetches.size();
  }
  void answerFetches() {
    std::lock_guard lock(mutex);
    for (auto& fetch : fetches) {
      if (fetch) fetch(std::nullopt, nullptr, fp::fileProviderError(fp::kErrorServerUnreachable));
      fetch = nullptr;
    }
  }
};

class ScriptedEnumerator final : public fp::Enumerator {
 public:
  explicit ScriptedEnumerator(Script& script) : script_(script) {}
  void invalidate() override {}
  void enumerateItems(std::shared_ptr<fp::EnumerationObserver> observer, fp::Page page) override {
    ++script_.requests;
    const auto& scripted = script_.pages.at(page);
    std::vector<fp::ItemPtr> items;
    for (size_t i = 0; i < scripted.items; ++i) {
      std::string name = "f" + std::to_string(script_.requests) + "-" + std::to_string(i);
      items.push_back(std::make_shared<LocalItem>("mirror/" + name,
                                                  fp::kRootContainerItemIdentifier, name, false));
    }
    observer->didEnumerateItems(std::move(items));
    observer->finishEnumeratingUpToPage(scripted.next);
  }
  void enumerateChanges(std::shared_ptr<fp::ChangeObserver>, fp::SyncAnchor) override {}
  void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)>) override {}

 private:
  Script& script_;
};

class ScriptedExtension final : public fp::ReplicatedExtension {
 public:
  explicit ScriptedExtension(Script& script) : script_(script) {}
  void invalidate() override {}
  fp::ProgressPtr itemForIdentifier(const fp::ItemIdentifier&, const fp::Request&,
                                    fp::ItemCompletion) override {
    return nullptr;
  }
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier&, const std::optional<fp::ItemVersion>&,
                                const fp::Request&, fp::FetchCompletion completion) override {
    std::lock_guard lock(script_.mutex);
    script_.fetches.push_back(std::move(completion));
    return nullptr;
  }
  fp::ProgressPtr createItem(fp::ItemPtr, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, uint64_t,
                             const fp::Request&, fp::ChangeCompletion) override {
    return nullptr;
  }
  fp::ProgressPtr modifyItem(fp::ItemPtr, const fp::ItemVersion&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, uint64_t,
                             const fp::Request&, fp::ChangeCompletion) override {
    return nullptr;
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&, uint64_t,
                             const fp::Request&, fp::DeleteCompletion) override {
    return nullptr;
  }
  std::unique_ptr<fp::Enumerator> enumeratorForContainerItemIdentifier(
      const fp::ItemIdentifier&, const fp::Request&, std::optional<Error>*) override {
    return std::make_unique<ScriptedEnumerator>(script_);
  }

 private:
  Script& script_;
};

TEST(ExtensionDriverTest, AListingThatComesBackToAnEarlierCursorFails) {
  // a -> b -> c -> b: not the last cursor again, an earlier one.
  Script script;
  script.pages[fp::kInitialPageSortedByName] = {2, "a"};
  script.pages["a"] = {2, "b"};
  script.pages["b"] = {2, "c"};
  script.pages["c"] = {2, "b"};
  ScriptedExtension extension(script);
  auto listed = ExtensionDriver(extension).enumerateAll(fp::kRootContainerItemIdentifier);
  ASSERT_FALSE(listed.has_value());
  EXPECT_NE(listed.error().description.find("circle"), std::string::npos);
  EXPECT_EQ(script.requests, 4u);
}

TEST(ExtensionDriverTest, AListingEndsWithItsLastPageAndKeepsEveryItemsFields) {
  Script script;
  script.pages[fp::kInitialPageSortedByName] = {3, "a"};
  script.pages["a"] = {1, std::nullopt};
  ScriptedExtension extension(script);
  auto listed = ExtensionDriver(extension).enumerateAll(fp::kRootContainerItemIdentifier);
  ASSERT_TRUE(listed.has_value()) << listed.error().description;
  ASSERT_EQ(listed->size(), 4u);
  EXPECT_EQ((*listed)[3].identifier, "mirror/f2-0");
  EXPECT_EQ((*listed)[3].name, "f2-0");
  EXPECT_FALSE((*listed)[3].isDirectory);
}

TEST(ExtensionDriverTest, AListingOfMillionsIsWalkedWholeAndTakenPageByPage) {
  Script script;
  const size_t perPage = 200001;  // more than any bound the walk once had, in all
  script.pages[fp::kInitialPageSortedByName] = {perPage, "1"};
  script.pages["1"] = {perPage, "2"};
  script.pages["2"] = {perPage, std::nullopt};
  ScriptedExtension extension(script);
  ExtensionDriver driver(extension);
  auto walk = driver.startListing(fp::kRootContainerItemIdentifier);
  ASSERT_TRUE(walk.has_value());
  size_t taken = 0;
  for (bool ended = false; !ended;) {
    auto next = (*walk)->next();
    ASSERT_TRUE(next.has_value());
    ended = *next;
    EXPECT_EQ((*walk)->items().size(), perPage);  // only the page since the last take
    taken += (*walk)->takeItems().size();
  }
  EXPECT_EQ(taken, 3 * perPage);
  EXPECT_EQ(script.requests, 3u);
}

TEST(ExtensionDriverTest, HangingFetchesTakeNoMoreThanTheirBudgetAndListingsStillAnswer) {
  Script script;
  script.pages[fp::kInitialPageSortedByName] = {3, std::nullopt};
  ScriptedExtension extension(script);
  ExtensionDriver driver(extension, nullptr, std::chrono::seconds(10));
  std::vector<std::future<bool>> fetches;
  for (size_t i = 0; i <= kMaxWaitedFetches; ++i) {
    fetches.push_back(std::async(std::launch::async, [&] {
      return driver.fetchContents("mirror/f", std::nullopt).has_value();
    }));
  }
  ASSERT_TRUE(
      lumora::testing::waitUntil([&] { return script.fetchesAsked() == kMaxWaitedFetches; }));
  auto listed = driver.enumerateAll(fp::kRootContainerItemIdentifier);
  EXPECT_EQ(listed.value_or(std::vector<ListedItem>{}).size(), 3u);
  EXPECT_EQ(script.fetchesAsked(), kMaxWaitedFetches);  // the one more waits for a slot
  // An answer gives its slot back.
  script.answerFetches();
  ASSERT_TRUE(
      lumora::testing::waitUntil([&] { return script.fetchesAsked() == kMaxWaitedFetches + 1; }));
  script.answerFetches();
  for (auto& fetch : fetches) EXPECT_FALSE(fetch.get());
}

TEST(ExtensionDriverTest, ADownloadThatComesAfterItsWaiterGaveUpIsRemoved) {
  Script script;
  ScriptedExtension extension(script);
  ExtensionDriver driver(extension, nullptr, 20ms);
  auto fetched = driver.fetchContents("mirror/f", std::nullopt);
  ASSERT_FALSE(fetched.has_value());
  EXPECT_EQ(fetched.error().code, ETIMEDOUT);
  auto late = std::filesystem::temp_directory_path() / ("late-" + std::to_string(::getpid()));
  std::ofstream(late) << "late";
  std::lock_guard lock(script.mutex);
  script.fetches.at(0)(late, std::make_shared<LocalItem>("mirror/f", "", "f", false), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(late));
  std::filesystem::remove(late);
}

// The real extension against a local service that takes requests and says
// nothing until told to answer again.
TEST(ExtensionDriverTest, ASilentServiceFailsOneRequestWithEIOThenAllAtOnceUntilAProbeFindsItBack) {
  HttpSession::Options quick;
  quick.answerTimeout = 300ms;
  testing::BackendHarness h(testing::LocalHttpServer::Scheme::http, quick);
  h.setDefaultsToken("t");
  std::mutex mutex;
  std::condition_variable answering;
  bool silent = true;  // protected by mutex
  h.server.get("/storage/list", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock lock(mutex);
    answering.wait_for(lock, 5s, [&] { return !silent; });
    res.set_content(R"({"entries":[{"key":"mirror/a.txt","size":1,"etag":"e"}]})",
                    "application/json");
  });
  provider::FileProviderExtension extension(
      h.backend->domain(),
      std::make_shared<const backend::LumoraBackend>(h.backend->domain(), h.server.baseUrl(),
                                                     h.container(), h.defaultsFile(), h.session));
  testing::RetryTime time;
  RetryLimits limits;
  auto retry = time.retry(limits);
  ExtensionDriver driver{extension, retry};
  auto asked = [&] { return h.server.requestsTo("/storage/list").size(); };

  auto first = driver.item("mirror/a.txt");
  ASSERT_FALSE(first);
  EXPECT_EQ(errnoForError(first.error()), EIO);
  EXPECT_EQ(asked(), 1u);  // no answer in time: not asked again
  EXPECT_TRUE(retry->away());

  auto second = driver.item("mirror/a.txt");
  ASSERT_FALSE(second);
  EXPECT_EQ(errnoForError(second.error()), EIO);
  EXPECT_EQ(asked(), 1u);  // failed at once, and no probe is due yet

  {
    std::lock_guard lock(mutex);
    silent = false;
  }
  answering.notify_all();
  time.sleep(limits.firstProbeDelay);
  EXPECT_FALSE(driver.item("mirror/a.txt"));  // fails at once, and starts the probe
  ASSERT_TRUE(testing::waitUntil([&] { return !retry->away(); }, 5000ms));
  EXPECT_EQ(asked(), 2u);
  auto back = driver.item("mirror/a.txt");
  ASSERT_TRUE(back) << back.error().description;
}

}  // namespace
}  // namespace lumora::fuse
