#include "platform/fileprovider/ContentTypes.h"

#include <gtest/gtest.h>

namespace lumora::fileprovider {
namespace {

TEST(ContentTypes, KnownExtensionsGiveTheirDataTypes) {
  EXPECT_EQ(contentTypeForFilenameExtension("pdf"), "application/pdf");
  EXPECT_EQ(contentTypeForFilenameExtension("PDF"), "application/pdf");
  EXPECT_EQ(contentTypeForFilenameExtension("txt"), "text/plain");
  EXPECT_EQ(contentTypeForFilenameExtension("jpg"), "image/jpeg");
  // Several globs match ".html"; the database's pick is still a type.
  EXPECT_EQ(contentTypeForFilenameExtension("html"), "text/html");
}

TEST(ContentTypes, UnknownOrEmptyExtensionsGiveNone) {
  EXPECT_EQ(contentTypeForFilenameExtension(""), std::nullopt);
  EXPECT_EQ(contentTypeForFilenameExtension("zzqqxv"), std::nullopt);
}

TEST(ContentTypes, OnlyTheExtensionDecidesNotAWholeName) {
  // "Makefile" is a known whole name; as an extension it means nothing.
  EXPECT_EQ(contentTypeForFilenameExtension("Makefile"), std::nullopt);
  // A probe that would become a path is refused outright.
  EXPECT_EQ(contentTypeForFilenameExtension("a/b.pdf"), std::nullopt);
  EXPECT_EQ(contentTypeForFilenameExtension(std::string_view("pdf\0x", 5)), std::nullopt);
}

TEST(ContentTypes, DataConformanceRejectsFileSystemObjects) {
  EXPECT_TRUE(conformsToData("application/pdf"));
  EXPECT_TRUE(conformsToData("text/plain"));
  EXPECT_TRUE(conformsToData(kDataContentType));
  EXPECT_FALSE(conformsToData(kFolderContentType));
  EXPECT_FALSE(conformsToData("inode/chardevice"));
  EXPECT_FALSE(conformsToData("inode/symlink"));
  EXPECT_FALSE(conformsToData(""));
}

TEST(ContentTypes, PathExtensionIsTheTextAfterTheLastPeriod) {
  EXPECT_EQ(pathExtension("report.pdf"), "pdf");
  EXPECT_EQ(pathExtension("archive.tar.gz"), "gz");
  EXPECT_EQ(pathExtension("README"), "");
  EXPECT_EQ(pathExtension("trailing."), "");
  EXPECT_EQ(pathExtension(".bashrc"), "bashrc");
  EXPECT_EQ(pathExtension(""), "");
}

}  // namespace
}  // namespace lumora::fileprovider
