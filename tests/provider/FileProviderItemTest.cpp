#include "extension/provider/FileProviderItem.h"

#include <gtest/gtest.h>

namespace lumora::provider {
namespace {

using namespace lumora::fileprovider;

backend::Entry file(std::string id, std::string name, int64_t size = 0) {
  backend::Entry entry;
  entry.parentID = "mirror/docs/";
  entry.id = std::move(id);
  entry.name = std::move(name);
  entry.size = size;
  return entry;
}

TEST(FileProviderItem, FolderHasFolderTypeAndNoSizeWhateverItsSize) {
  backend::Entry folder = file("mirror/docs/sub/", "sub", 4096);
  folder.isDirectory = true;
  // A folder named like a document is still a folder.
  backend::Entry pdfFolder = file("mirror/docs/x.pdf/", "x.pdf", 7);
  pdfFolder.isDirectory = true;
  for (const auto& entry : {folder, pdfFolder}) {
    FileProviderItem item(entry);
    EXPECT_EQ(item.contentType(), "inode/directory");
    EXPECT_TRUE(item.isFolder());
    EXPECT_EQ(item.documentSize(), std::nullopt);
    EXPECT_EQ(item.capabilities(), 1u);
  }
  EXPECT_FALSE(FileProviderItem(file("mirror/docs/x.pdf", "x.pdf")).isFolder());
}

TEST(FileProviderItem, TheModificationTimeIsTheEntrysModifiedDateWhenItHasOne) {
  backend::Entry dated = file("mirror/docs/a.txt", "a.txt");
  dated.modifiedAt = backend::Date(std::chrono::seconds(1714557600));  // 2024-05-01T10:00:00Z
  EXPECT_EQ(FileProviderItem(dated).contentModificationTime(), 1714557600);
  EXPECT_EQ(FileProviderItem(file("mirror/docs/b.txt", "b.txt")).contentModificationTime(),
            std::nullopt);
}

TEST(FileProviderItem, FileTypeComesFromTheExtensionElseGenericData) {
  EXPECT_EQ(FileProviderItem(file("mirror/docs/report.pdf", "report.pdf")).contentType(),
            "application/pdf");
  EXPECT_EQ(FileProviderItem(file("mirror/docs/notes.txt", "notes.txt")).contentType(),
            "text/plain");
  for (const char* name : {"data.zzqqxv", "README", "Makefile", "ends-with-dot.", ".pdf.zzqqxv"}) {
    EXPECT_EQ(FileProviderItem(file(std::string("mirror/docs/") + name, name)).contentType(),
              "application/octet-stream")
        << name;
  }
}

TEST(FileProviderItem, FileSizeIsPresentEvenWhenZero) {
  EXPECT_EQ(FileProviderItem(file("mirror/docs/empty", "empty", 0)).documentSize(), 0);
  EXPECT_EQ(FileProviderItem(file("mirror/docs/big", "big", int64_t{1} << 40)).documentSize(),
            int64_t{1} << 40);
  EXPECT_EQ(FileProviderItem(file("mirror/docs/big", "big")).capabilities(),
            kItemCapabilitiesAllowsReading);
}

TEST(FileProviderItem, VersionsAreTheTagsBytesExactly) {
  backend::Entry entry = file("mirror/docs/a.txt", "a.txt", 12);
  entry.contentETag = "abc";
  entry.metadataTag = "a.txt|12|2024-05-01T10:00:00Z";
  const ItemVersion version = FileProviderItem(entry).itemVersion();
  EXPECT_EQ(version.contentVersion, std::string("\x61\x62\x63", 3));
  EXPECT_EQ(version.metadataVersion, "a.txt|12|2024-05-01T10:00:00Z");

  entry.contentETag.clear();
  entry.metadataTag = "\xc3\xa9t\xc3\xa9";  // "été": UTF-8 bytes pass through unchanged
  const ItemVersion other = FileProviderItem(entry).itemVersion();
  EXPECT_TRUE(other.contentVersion.empty());
  EXPECT_EQ(other.metadataVersion, "\xc3\xa9t\xc3\xa9");
}

TEST(FileProviderItem, RootIsItsOwnParentAndNeverMirror) {
  backend::Entry root;
  root.id = "mirror/";
  root.name = "Lumora";
  root.isDirectory = true;
  root.isRoot = true;
  FileProviderItem item(root);
  EXPECT_EQ(item.itemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(item.parentItemIdentifier(), kRootContainerItemIdentifier);
  EXPECT_EQ(item.filename(), "Lumora");
  EXPECT_EQ(item.contentType(), "inode/directory");
}

TEST(FileProviderItem, IdentityAndParentComeFromTheEntry) {
  backend::Entry entry =
      file("mirror/docs/r\xc3\xa9sum\xc3\xa9 v2.pdf", "r\xc3\xa9sum\xc3\xa9 v2.pdf");
  FileProviderItem item(entry);
  EXPECT_EQ(item.itemIdentifier(), entry.id);
  EXPECT_EQ(item.parentItemIdentifier(), "mirror/docs/");
  EXPECT_EQ(item.filename(), entry.name);
  EXPECT_EQ(item.entry(), entry);

  // A child found by exact look-up right under "mirror/" has no parent: the root.
  entry.parentID.reset();
  EXPECT_EQ(FileProviderItem(entry).parentItemIdentifier(), kRootContainerItemIdentifier);
  // A child of a root listing carries the root's identifier text as parent.
  entry.parentID = kRootContainerItemIdentifier;
  EXPECT_EQ(FileProviderItem(entry).parentItemIdentifier(), kRootContainerItemIdentifier);
}

}  // namespace
}  // namespace lumora::provider
