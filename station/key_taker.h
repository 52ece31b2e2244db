#pragma once
// A slot's source of keys: each unit of the slot takes its key from the
// station's pool, under the slot's name, and gives back one it never used.

#include <functional>
#include <memory>
#include <string>

#include "station/box_session.h"

namespace ternis {

class KeyTaker : public UnitImageSource {
 public:
  using Take = std::function<std::shared_ptr<const ImageSnapshot>(const std::string& slot)>;
  using GiveBackTo = std::function<void(const ImageSnapshot& image)>;

  KeyTaker(Take take, GiveBackTo give_back, std::string slot)
      : take_(std::move(take)), give_back_(std::move(give_back)), slot(std::move(slot)) {}
  std::shared_ptr<const ImageSnapshot> TakeImage() override { return take_(slot); }
  void GiveBack(std::shared_ptr<const ImageSnapshot> image) override {
    if (image) give_back_(*image);
  }

 private:
  Take take_;
  GiveBackTo give_back_;

 public:
  std::string slot;  // the slot's name; the station guards it with its keys
};

}  // namespace ternis
