// The replica's heap per listed item: one folder of 100,000 files listed, as
// the daemon keeps it, counted by the allocator itself. Prints ROW lines for
// scripts/bench.

#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/fileprovider/linux/core/Replica.h"

namespace {

constexpr size_t kItems = 100000;

size_t heapInUse() {
  return mallinfo2().uordblks;
}

}  // namespace

int main() {
  using namespace lumora::fuse;
  Replica replica(std::chrono::seconds(3), std::chrono::steady_clock::now);
  size_t before = heapInUse();
  {
    std::vector<ListedItem> items;
    items.reserve(kItems);
    for (size_t i = 0; i < kItems; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "document-%06zu.txt", i);
      ListedItem item;
      item.name = name;
      item.identifier = "mirror/big/" + item.name;
      item.contentVersion = "5d41402abc4b2a76b9719d911017c592-" + std::to_string(i);
      item.size = 1000 + static_cast<int64_t>(i);
      item.modified = 1714557600;
      items.push_back(std::move(item));
    }
    replica.applyListing(kRootInode, std::move(items));
  }
  size_t kept = heapInUse() - before;
  size_t snapshot = 0;
  {
    size_t withoutSnapshot = heapInUse();
    auto entries = replica.childInodes(kRootInode);
    snapshot = heapInUse() - withoutSnapshot;
  }
  std::fprintf(stderr, "replica: %zu bytes for %zu items; a folder read's snapshot: %zu bytes\n",
               kept, kItems, snapshot);
  std::printf("ROW\treplica heap per listed item (bytes)\t%zu\t1229\t%.2f\tless than 1.2 KiB\n",
              kept / kItems, static_cast<double>(kept) / kItems / 1229);
  std::printf("ROW\tfolder read snapshot per item (bytes)\t%zu\t-\t-\t-\n", snapshot / kItems);
  return 0;
}
