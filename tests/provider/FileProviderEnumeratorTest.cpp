#include "extension/provider/FileProviderEnumerator.h"

#include <future>

#include "tests/provider/ProviderTestSupport.h"

namespace lumora::provider {
namespace {

using namespace lumora::fileprovider;
using namespace lumora::provider::testing;

class EnumeratorTest : public ServiceTest {
 protected:
  FileProviderEnumerator enumerator(const ItemIdentifier& container, SecondsClock clock = {}) {
    return FileProviderEnumerator(container, backend, std::move(clock));
  }
  RecordingEnumerationObserver::Calls enumerate(FileProviderEnumerator& e, const Page& page) {
    auto observer = std::make_shared<RecordingEnumerationObserver>();
    e.enumerateItems(observer, page);
    EXPECT_TRUE(observer->waitFinal());
    return observer->calls();
  }
};

TEST_F(EnumeratorTest, RootListsMirrorWithoutCursorAndItsCursorComesBackUnchanged) {
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    const bool first = !req.has_param("cursor");
    res.set_content(
        first ? listingBody({"mirror/a.txt", "mirror/docs/"}, "c1") : listingBody({"mirror/b.txt"}),
        "application/json");
  });
  auto root = enumerator(kRootContainerItemIdentifier);

  auto firstPage = enumerate(root, kInitialPageSortedByName);
  EXPECT_EQ(firstPage.events, (std::vector<std::string>{"items", "finish"}));
  EXPECT_EQ(firstPage.nextPage, Page("c1"));
  ASSERT_EQ(firstPage.items.size(), 2u);
  EXPECT_EQ(firstPage.items[0]->itemIdentifier(), "mirror/a.txt");
  EXPECT_EQ(firstPage.items[0]->parentItemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(firstPage.items[0]->filename(), "a.txt");
  EXPECT_EQ(firstPage.items[0]->documentSize(), 12);
  EXPECT_EQ(firstPage.items[1]->itemIdentifier(), "mirror/docs/");
  EXPECT_EQ(firstPage.items[1]->contentType(), "inode/directory");

  auto secondPage = enumerate(root, *firstPage.nextPage);
  EXPECT_EQ(secondPage.nextPage, std::nullopt);
  ASSERT_EQ(secondPage.items.size(), 1u);
  EXPECT_EQ(secondPage.items[0]->filename(), "b.txt");

  auto sent = server.requestsTo("/storage/list");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].query,
            (lumora::testing::NameValues{{"prefix", "mirror/"}, {"delimiter", "/"}}));
  EXPECT_EQ(sent[1].query, (lumora::testing::NameValues{
                               {"prefix", "mirror/"}, {"delimiter", "/"}, {"cursor", "c1"}}));
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer t0k");
}

TEST_F(EnumeratorTest, PagesThatMeanTheStartSendNoCursor) {
  server.reply("/storage/list", 200, listingBody({"mirror/docs/x"}));
  auto docs = enumerator("mirror/docs/");
  const std::vector<Page> starts = {kInitialPageSortedByName, kInitialPageSortedByDate, Page(),
                                    Page("\xff\xfe\x80", 3)};
  for (const auto& page : starts) {
    auto calls = enumerate(docs, page);
    EXPECT_EQ(calls.events, (std::vector<std::string>{"items", "finish"}));
  }
  auto sent = server.requestsTo("/storage/list");
  ASSERT_EQ(sent.size(), starts.size());
  for (const auto& request : sent) {
    EXPECT_EQ(request.queryValue("prefix"), "mirror/docs/");
    EXPECT_EQ(request.queryValue("cursor"), std::nullopt) << request.rawQuery;
  }
}

TEST_F(EnumeratorTest, FivePagesFollowCursorsWithSlashPlusAndEquals) {
  const std::vector<std::string> cursors = {"", "a/b+c=", "/+/==", "x+y/z=0", "++//==", "=/+"};
  server.get("/storage/list", [&cursors](const httplib::Request& req, httplib::Response& res) {
    const std::string cursor = req.has_param("cursor") ? req.get_param_value("cursor") : "";
    const auto at = std::find(cursors.begin(), cursors.end(), cursor);
    if (at == cursors.end() || at - cursors.begin() >= 5) {
      res.status = 400;  // a cursor that the service never handed out
      return;
    }
    const auto index = at - cursors.begin();
    std::optional<std::string> next;
    if (index < 4) next = cursors[index + 1];
    res.set_content(listingBody({"mirror/big/f" + std::to_string(index) + "a",
                                 "mirror/big/f" + std::to_string(index) + "b"},
                                next),
                    "application/json");
  });
  auto big = enumerator("mirror/big/");
  std::vector<std::string> names;
  std::optional<Page> page = kInitialPageSortedByDate;
  int pages = 0;
  while (page && pages < 10) {
    auto calls = enumerate(big, *page);
    ASSERT_EQ(calls.events, (std::vector<std::string>{"items", "finish"}))
        << (calls.error ? calls.error->description : "");
    for (const auto& item : calls.items) names.push_back(item->filename());
    page = calls.nextPage;
    ++pages;
  }
  EXPECT_EQ(pages, 5);
  EXPECT_EQ(names, (std::vector<std::string>{"f0a", "f0b", "f1a", "f1b", "f2a", "f2b", "f3a", "f3b",
                                             "f4a", "f4b"}));
  auto sent = server.requestsTo("/storage/list");
  ASSERT_EQ(sent.size(), 5u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].queryValue("cursor"), cursors[i]);
}

TEST_F(EnumeratorTest, LastPagesAndEmptyFoldersEndTheListing) {
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    const std::string prefix = req.get_param_value("prefix");
    std::string body = R"({"entries":[]})";
    if (prefix == "mirror/null/") body = R"({"entries":[{"key":"mirror/null/a"}],"cursor":null})";
    if (prefix == "mirror/blank/") body = R"({"entries":[{"key":"mirror/blank/a"}],"cursor":""})";
    res.set_content(body, "application/json");
  });
  for (const char* folder : {"mirror/null/", "mirror/blank/", "mirror/empty/"}) {
    auto e = enumerator(folder);
    auto calls = enumerate(e, kInitialPageSortedByName);
    EXPECT_EQ(calls.events, (std::vector<std::string>{"items", "finish"})) << folder;
    EXPECT_EQ(calls.nextPage, std::nullopt) << folder;
    EXPECT_EQ(calls.items.size(), std::string(folder) == "mirror/empty/" ? 0u : 1u);
  }
}

TEST_F(EnumeratorTest, AFailingListingMakesExactlyOneCallWithTheErrorUnchanged) {
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    const std::string prefix = req.get_param_value("prefix");
    if (prefix == "mirror/down/") {
      res.status = 500;
      res.set_content(R"({"entries":[]})", "application/json");  // the body does not count
    } else {
      res.set_content(R"({"entries":[{"key":7}]})", "application/json");
    }
  });
  auto down = enumerator("mirror/down/");
  auto calls = enumerate(down, kInitialPageSortedByName);
  EXPECT_EQ(calls.events, std::vector<std::string>{"error"});
  ASSERT_TRUE(calls.error);
  EXPECT_EQ(calls.error->domain, kFileProviderErrorDomain);
  EXPECT_EQ(calls.error->code, kErrorServerUnreachable);

  auto garbled = enumerator("mirror/garbled/");
  calls = enumerate(garbled, kInitialPageSortedByName);
  EXPECT_EQ(calls.events, std::vector<std::string>{"error"});
  ASSERT_TRUE(calls.error);
  EXPECT_EQ(calls.error->domain, kDecodingErrorDomain);

  removeToken();
  server.clearRecords();
  calls = enumerate(down, kInitialPageSortedByName);
  EXPECT_EQ(calls.events, std::vector<std::string>{"error"});
  ASSERT_TRUE(calls.error);
  EXPECT_EQ(calls.error->code, kErrorNotAuthenticated);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(EnumeratorTest, WorkingSetAndTrashAreListedLikeAnyKey) {
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(listingBody({"mirror/from-" + req.get_param_value("prefix")}),
                    "application/json");
  });
  for (const auto& id : {kWorkingSetContainerItemIdentifier, kTrashContainerItemIdentifier,
                         ItemIdentifier("some other text")}) {
    auto e = enumerator(id);
    EXPECT_EQ(e.containerID(), id);
    auto calls = enumerate(e, kInitialPageSortedByName);
    ASSERT_EQ(calls.items.size(), 1u) << id;
    EXPECT_EQ(calls.items[0]->itemIdentifier(), "mirror/from-" + id);
    EXPECT_EQ(calls.items[0]->parentItemIdentifier(), id);
    EXPECT_EQ(server.requestsTo("/storage/list").back().queryValue("prefix"), id);
    EXPECT_EQ(server.requestsTo("/storage/list").back().queryValue("delimiter"), "/");
  }
}

TEST_F(EnumeratorTest, ReturnsAtOnceAndFinishesOnAnotherThreadAfterInvalidation) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  server.get("/storage/list", [released](const httplib::Request&, httplib::Response& res) {
    released.wait();
    res.set_content(listingBody({"mirror/late"}), "application/json");
  });
  auto observer = std::make_shared<RecordingEnumerationObserver>();
  {
    auto e = std::make_unique<FileProviderEnumerator>(kRootContainerItemIdentifier, backend);
    e->enumerateItems(observer, kInitialPageSortedByName);
    // The listing is held by the server, so nothing can have been reported.
    EXPECT_TRUE(observer->calls().events.empty());
    e->invalidate();
  }  // the enumerator is gone before its work finishes
  EXPECT_TRUE(waitUntil([&] { return server.requestCount() == 1; }));
  release.set_value();
  ASSERT_TRUE(observer->waitFinal());
  auto calls = observer->calls();
  EXPECT_EQ(calls.events, (std::vector<std::string>{"items", "finish"}));
  ASSERT_EQ(calls.threads.size(), 2u);
  EXPECT_NE(calls.threads[0], std::this_thread::get_id());
  EXPECT_EQ(calls.threads[0], calls.threads[1]);
}

TEST(SyncAnchor, IsTheWholeSecondsTruncatedTowardZero) {
  EXPECT_EQ(syncAnchorForTime(1714557600.9), "1714557600");
  EXPECT_EQ(syncAnchorForTime(1714557600.0), "1714557600");
  EXPECT_EQ(syncAnchorForTime(0.5), "0");
  EXPECT_EQ(syncAnchorForTime(-1.5), "-1");
  EXPECT_EQ(syncAnchorForTime(1714557600.1), syncAnchorForTime(1714557600.99));
  EXPECT_NE(syncAnchorForTime(1714557600.99), syncAnchorForTime(1714557601.0));
  // A broken clock still gives a well-formed decimal anchor.
  EXPECT_EQ(syncAnchorForTime(std::nan("")), "0");
  EXPECT_EQ(syncAnchorForTime(1e300), "9200000000000000000");
}

TEST_F(EnumeratorTest, ChangesAreAlwaysEmptyWithAFreshAnchorFromTheClock) {
  std::atomic<double> now{1714557600.9};
  auto e = enumerator(kWorkingSetContainerItemIdentifier, [&now] { return now.load(); });
  EXPECT_EQ(e.makeSyncAnchor(), "1714557600");
  for (const SyncAnchor& old : {SyncAnchor("1714557000"), SyncAnchor(), SyncAnchor("\xff junk"),
                                SyncAnchor("99999999999999999999")}) {
    auto observer = std::make_shared<RecordingChangeObserver>();
    e.enumerateChanges(observer, old);
    ASSERT_TRUE(observer->waitFinal());
    auto calls = observer->calls();
    EXPECT_EQ(calls.events, (std::vector<std::string>{"updates:0", "deletes:0", "finish"}));
    EXPECT_EQ(calls.anchor, "1714557600");
    EXPECT_EQ(calls.moreComing, false);
  }
  now = 1714557661.2;
  std::promise<std::optional<SyncAnchor>> current;
  e.currentSyncAnchor([&current](std::optional<SyncAnchor> anchor) { current.set_value(anchor); });
  auto future = current.get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(future.get(), "1714557661");
  // Change tracking never asks the service.
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST(SyncAnchor, TheSystemClockGivesTheCurrentSecond) {
  using namespace std::chrono;
  const auto before = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  const std::string anchor = syncAnchorForTime(systemSeconds());
  const auto after = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_GE(std::stoll(anchor), before);
  EXPECT_LE(std::stoll(anchor), after);
  EXPECT_EQ(anchor, std::to_string(std::stoll(anchor)));  // no sign, padding or terminator
}

}  // namespace
}  // namespace lumora::provider
