#pragma once
// Photos as cameras write them: a JPEG whose EXIF block (APP1) carries the
// picture's orientation and a small JPEG of it, as a little-endian TIFF with
// two folders (IFD0: orientation; IFD1: where the thumbnail is).

#include <cstdint>
#include <string>

namespace lumora::testing {

inline std::string withExifThumbnail(const std::string& jpeg, const std::string& thumbnail,
                                     uint16_t orientation = 1) {
  std::string tiff("II*\0", 4);
  auto put = [&](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) tiff.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(8, 4);  // IFD0 follows the header
  put(1, 2), put(0x0112, 2), put(3, 2), put(1, 4), put(orientation, 4);
  put(8 + 18, 4);  // IFD1 follows IFD0
  put(2, 2);
  put(0x0201, 2), put(4, 2), put(1, 4), put(8 + 18 + 30, 4);
  put(0x0202, 2), put(4, 2), put(1, 4), put(thumbnail.size(), 4);
  put(0, 4);
  tiff += thumbnail;
  std::string body = std::string("Exif\0\0", 6) + tiff;
  std::string segment = "\xFF\xE1";
  segment.push_back(static_cast<char>((body.size() + 2) >> 8));
  segment.push_back(static_cast<char>((body.size() + 2) & 0xFF));
  return jpeg.substr(0, 2) + segment + body + jpeg.substr(2);
}

}  // namespace lumora::testing
