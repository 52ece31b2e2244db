#pragma once
// Where a station's keys come from: a folder (KeyPool) or a database
// shared by many stations (StationDatabase). A key is issued, on disk,
// before its first byte can leave, and ends used, spoiled or ready again.
//
// Thread-safe: Take runs on the receive threads, the rest on the owner's.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/image_file.h"

namespace ternis {

struct KeyPoolCounts {
  std::size_t ready = 0;
  std::size_t issued = 0;
  std::size_t used = 0;
  std::size_t spoiled = 0;
};

// A key taken for a unit: issued, its bytes in secret memory.
struct IssuedKey {
  std::string name;
  std::shared_ptr<const ImageSnapshot> image;
  std::string sha256;
};

// A move the pool made on its own, for the front end to tell.
struct KeyMove {
  std::string name;
  std::string to;  // "spoiled", "ready"
  std::string reason;
};

enum class KeyFate : std::uint8_t { kUsed, kSpoiled, kReady };

class KeySource {
 public:
  static constexpr const char* kStoppedIssued = "station stopped with the key issued";

  virtual ~KeySource() = default;
  // Spoils the keys this station left issued when it stopped mid-unit.
  virtual std::vector<KeyMove> Recover() = 0;
  // The next ready key, issued to this station's `slot`; nullopt when none
  // is ready, or with `error` set when none could be taken.
  virtual std::optional<IssuedKey> Take(const std::string& slot, std::vector<KeyMove>& moved,
                                        std::string& error) = 0;
  virtual bool Finish(const std::string& name, KeyFate fate, std::string& error) = 0;
  virtual KeyPoolCounts Counts() const = 0;
  // Where the keys are, for messages ("ready/" of a folder, a database).
  virtual std::string ReadyPlace() const = 0;
};

}  // namespace ternis
