// Platform helpers shared by the backends: reading a name of unknown length.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vortane {
namespace {

TEST(ReadGrowingTest, DoublesTheBufferWhileTheNameMayBeCut) {
  // A name of 5000 characters: cut at 2048 and 4096, whole at 8192.
  const platform::PathString name(5000, 'n');
  std::vector<size_t> capacities;
  const auto read = [&](platform::PathChar* buffer, size_t capacity) -> size_t {
    capacities.push_back(capacity);
    const size_t length = std::min(capacity, name.size());
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length), buffer);
    return length;
  };
  EXPECT_EQ(platform::ReadGrowing(read), name);
  EXPECT_EQ(capacities, (std::vector<size_t>{2048, 4096, 8192}));

  // A name of exactly the buffer's size may be cut: it is read again with a larger buffer.
  const platform::PathString exact(2048, 'e');
  capacities.clear();
  EXPECT_EQ(platform::ReadGrowing([&](platform::PathChar* buffer, size_t capacity) -> size_t {
              capacities.push_back(capacity);
              std::copy(exact.begin(), exact.end(), buffer);
              return exact.size();
            }),
            exact);
  EXPECT_EQ(capacities.size(), 2u);

  EXPECT_FALSE(platform::ReadGrowing([](platform::PathChar*, size_t) -> size_t { return 0; }));
}

}  // namespace
}  // namespace vortane
