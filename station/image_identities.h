#pragma once
// Every image a front end served, by its snapshot's id, with the path it
// was loaded from, its size and its SHA-256: what a unit's record and log
// line say it got, however often the file changed since.

#include <cstdint>
#include <map>
#include <string>

#include "protocol/image_file.h"
#include "station/unit_record.h"

namespace ternis {

class ImageIdentities {
 public:
  // Digests `image` (once per load) and keeps it under its id.
  const ImageIdentity& Remember(const ImageSnapshot& image, const std::string& path);
  // Null for an image never remembered.
  const ImageIdentity* Find(std::uint64_t image_id) const;

 private:
  std::map<std::uint64_t, ImageIdentity> identities_;
};

}  // namespace ternis
