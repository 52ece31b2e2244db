#pragma once
// The baseline the benchmarks measure the tool against: one thread, one
// loop, read what comes and answer it, with no checks and no bookkeeping.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "protocol/date_time_code.h"

namespace ternis::bench {

inline void MinimalResponder(const std::string& path, const std::vector<char>& image,
                      std::atomic<bool>& stop) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  std::vector<unsigned char> in;
  unsigned char buffer[10240];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    in.insert(in.end(), buffer, buffer + n);
    for (;;) {
      while (!in.empty() && in[0] != 0x02) in.erase(in.begin());
      if (in.size() < 3) break;
      if (in[1] == 0x02) {
        if (in.size() < 9) break;
        const unsigned length = in[2] | in[3] << 8;
        const unsigned offset = in[4] | in[5] << 8 | in[6] << 16 | unsigned(in[7]) << 24;
        std::vector<char> reply(length, 0);
        if (offset < image.size())
          std::memcpy(reply.data(), image.data() + offset,
                      std::min<std::size_t>(length, image.size() - offset));
        for (std::size_t done = 0; done < reply.size();)
          done += static_cast<std::size_t>(
              std::max<ssize_t>(0, ::write(fd, reply.data() + done, reply.size() - done)));
        in.erase(in.begin(), in.begin() + 9);
      } else {
        const unsigned char boot[] = {0x02, 0x01, 0x0A, 0x03};
        std::uint16_t mjd = 0;
        std::uint32_t bcd = 0;
        ternis::GetDateTimeCode(mjd, bcd);
        const unsigned char time[] = {0x02,
                                      0x03,
                                      static_cast<unsigned char>(mjd >> 8),
                                      static_cast<unsigned char>(mjd),
                                      static_cast<unsigned char>(bcd >> 16),
                                      static_cast<unsigned char>(bcd >> 8),
                                      static_cast<unsigned char>(bcd),
                                      0x03};
        if (in[1] == 0x01) (void)!::write(fd, boot, sizeof boot);
        if (in[1] == 0x03) (void)!::write(fd, time, sizeof time);
        in.erase(in.begin(), in.begin() + 3);
      }
    }
  }
  ::close(fd);
}

// Answers the box behind `link` (a pseudo-terminal's symlink) from a
// thread of its own until `wait_for_box` returns.
template <typename Wait>
void ServeWithMinimal(const std::string& link, const std::vector<char>& image,
                      Wait wait_for_box) {
  std::atomic<bool> stop{false};
  std::thread responder(MinimalResponder, std::filesystem::read_symlink(link).string(),
                        std::cref(image), std::ref(stop));
  wait_for_box();
  stop = true;
  responder.join();
}

}  // namespace ternis::bench
