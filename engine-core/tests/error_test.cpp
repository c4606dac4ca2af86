#include <gtest/gtest.h>

#include "vorp/checksum.h"
#include "vorp/error.h"

namespace vorp {
namespace {

TEST(Crc32c, StandardCheckValue) { EXPECT_EQ(crc32c("123456789"), 0xe3069283u); }

TEST(Sha256, EmptyInput) {
    EXPECT_EQ(to_hex(Sha256::digest("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace vorp
