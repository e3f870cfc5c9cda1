#pragma once
// A photo's head, however made up: the thumbnail found lies inside it and
// starts as a JPEG does; whatever it decodes to is a bounded picture, and
// turned, scaled and written as PNG it keeps its shape.

#include "fuzz/checks/Property.h"
#include "platform/fileprovider/linux/mount/HeadThumbnails.h"

namespace lumora::fuzz {

inline std::string checkExifThumbnail(std::string_view head) {
  auto found = fuse::findExifThumbnail(head);
  if (!found) return "";
  LUMORA_PROPERTY(found->jpeg.data() >= head.data() &&
                      found->jpeg.data() + found->jpeg.size() <= head.data() + head.size(),
                  "the thumbnail lies outside the head");
  LUMORA_PROPERTY(found->jpeg.starts_with("\xFF\xD8"), "the thumbnail is no JPEG");
  LUMORA_PROPERTY(found->orientation >= 1 && found->orientation <= 8, "no such orientation");
  auto picture = fuse::decodeJpeg(found->jpeg);
  if (!picture) return "";
  LUMORA_PROPERTY(picture->width >= 1 && picture->width <= 1024 && picture->height >= 1 &&
                      picture->height <= 1024,
                  "a picture too big for a thumbnail");
  LUMORA_PROPERTY(picture->rgb.size() == size_t{picture->width} * picture->height * 3,
                  "pixels and sides disagree");
  auto upright = fuse::orient(*picture, found->orientation);
  bool swapped = found->orientation >= 5;
  LUMORA_PROPERTY(upright.width == (swapped ? picture->height : picture->width),
                  "turned to the wrong shape");
  auto scaled = fuse::fitInto(upright, 128);
  LUMORA_PROPERTY(scaled.width >= 1 && scaled.width <= 128 && scaled.height >= 1 &&
                      scaled.height <= 128 && scaled.rgb.size() == scaled.width * scaled.height * 3,
                  "scaled out of the box");
  auto png = fuse::encodePng(scaled, {{"Software", "check"}});
  LUMORA_PROPERTY(png.starts_with("\x89PNG\r\n\x1a\n") && png.ends_with("IEND\xAE\x42\x60\x82"),
                  "not a whole PNG");
  return "";
}

}  // namespace lumora::fuzz
