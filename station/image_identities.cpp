#include "station/image_identities.h"

#include "station/image_digest.h"

namespace ternis {

const ImageIdentity& ImageIdentities::Remember(const ImageSnapshot& image,
                                               const std::string& path) {
  return identities_[image.id()] = {path, image.contents().size(), Sha256Hex(image.contents())};
}

const ImageIdentity* ImageIdentities::Find(std::uint64_t image_id) const {
  const auto identity = identities_.find(image_id);
  return identity == identities_.end() ? nullptr : &identity->second;
}

}  // namespace ternis
